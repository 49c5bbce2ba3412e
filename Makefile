# Everything a fresh Debian machine needs: `make run` and `make test` install what is
# missing, configure, build, then run or test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCPUCONFIG_WERROR=ON $(CMAKE_FLAGS)

.PHONY: all deps configure build run test format screenshots clean package package-check \
	check-layers architecture

all: build

deps:
	@tools/install-deps.sh base gui

$(BUILD)/build.ninja:
	$(CONFIGURE)

configure: deps
	$(CONFIGURE)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	tools/run-demo.sh $(BUILD)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The .deb: build/cpuconfig_<version>_<arch>.deb. Configures again so that a build tree
# made before help2man was installed gets its manual pages.
package: deps
	@tools/install-deps.sh package
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)
	rm -f $(BUILD)/cpuconfig_*.deb
	cd $(BUILD) && cpack -G DEB
# What it holds, lintian, the unpacked programs, manual page, completion. PACKAGE_CHECK=--install
# also installs and removes it with apt (for a throwaway machine such as CI's).
package-check: package
	tools/check-package.sh $(BUILD) $(PACKAGE_CHECK)

# Pictures of the windows (offscreen) for the documentation.
screenshots: build
	cmake --build $(BUILD) --target cpuconfig_screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/shell/cpuconfig_screenshots docs/screenshots

# Windows, 64-bit and 32-bit (build-windows-x86_64/, build-windows-i686/), cross-built with
# MinGW and Qt for Windows (tools/build-qt-windows.sh), tested under Wine against simulated
# cards served by the Linux cpuctl: the engine tests, cpuctl.exe, the window tests and
# cpuconfig.exe itself on a virtual display. A build whose programs Wine cannot run here
# (32-bit on a kernel without 32-bit support) is built and checked, and its runs are
# SKIPPED; WINE_REQUIRED=1 makes that a failure. WINDOWS_ARCHS="x86_64" for one build.
# Then the packages of package-windows, as they are installed and run.
.PHONY: test-windows package-windows screenshots-windows
WINDOWS_ARCHS ?= x86_64 i686
WINDOWS_ENV = JOBS=$(JOBS) WINDOWS_ARCHS="$(WINDOWS_ARCHS)"
test-windows: deps $(BUILD)/build.ninja
	@tools/install-deps.sh windows
	cmake --build $(BUILD) -j $(JOBS) --target cpuctl
	$(WINDOWS_ENV) tools/test-windows.sh $(BUILD)/cli/cpuctl
	$(WINDOWS_ENV) tools/package-windows.sh $(BUILD)/cli/cpuctl
# build-windows-ARCH/cpuconfig-<version>-win64.zip and -win32.zip, their imports checked, and
# the installers cpuconfig-<version>-win64.msi and -win32.msi, their tables checked. Where
# Wine runs its programs, each zip is unpacked into a fresh folder and run from there, and
# each installer installed, run, upgraded and removed in a fresh Wine prefix.
package-windows: deps $(BUILD)/build.ninja
	@tools/install-deps.sh windows
	cmake --build $(BUILD) -j $(JOBS) --target cpuctl
	$(WINDOWS_ENV) tools/package-windows.sh $(BUILD)/cli/cpuctl
# docs/screenshots/windows-*.png: the windows as the 64-bit build draws them under Wine.
screenshots-windows: deps $(BUILD)/build.ninja
	@tools/install-deps.sh windows
	cmake --build $(BUILD) -j $(JOBS) --target cpuctl
	JOBS=$(JOBS) CPUCTL=$(BUILD)/cli/cpuctl tools/screenshots-windows.sh docs/screenshots

# The folders' order (also a test of `make test`); the picture in docs/ARCHITECTURE.md.
check-layers:
	tools/check-layers
architecture: $(BUILD)/build.ninja
	tools/architecture-graph $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)

# Seeded faults (tools/mutants.txt), each in a copy of the tree outside the work tree: every
# one must be caught by a test. MUTATE_FLAGS=--ci runs the part CI runs; --only=ID,ID some.
.PHONY: mutate
MUTATE_FLAGS ?=
mutate:
	@tools/install-deps.sh base gui mutate
	JOBS=$(JOBS) tools/mutate.py $(MUTATE_FLAGS)

# Sanitizers: the whole suite under ASan+UBSan, the threaded parts under TSan.
SANITIZE_FLAGS = -DCMAKE_BUILD_TYPE=Debug -DCPUCONFIG_BENCH=OFF -DCPUCONFIG_WERROR=ON
.PHONY: test-sanitize fuzz-smoke
test-sanitize: deps
	cmake -S . -B build-asan -G Ninja $(SANITIZE_FLAGS) -DCPUCONFIG_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)
	cmake -S . -B build-tsan -G Ninja $(SANITIZE_FLAGS) -DCPUCONFIG_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TESTS)
	for t in $(TSAN_TESTS); do \
		echo "== $$t (ThreadSanitizer)"; \
		QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 \
			die_after_fork=0" \
			build-tsan/tests/$$t >build-tsan/$$t.log 2>&1 \
			|| { sed -n '/^WARNING: ThreadSanitizer/,/^SUMMARY/p' build-tsan/$$t.log | head -150; \
			     tail -5 build-tsan/$$t.log; exit 1; }; \
		grep -E '^(Totals|\[  PASSED)' build-tsan/$$t.log | tail -1; \
	done
# The tests where threads meet: workers, the GUI thread, the simulated card. Qt is not
# built for TSan: its own memory is not tracked (ignore_noninstrumented_modules), and our
# code announces its hand-offs through Qt's event queue (common/ThreadHandOff.h). Nothing
# is suppressed. die_after_fork=0: a test that starts cpuctl (QProcess forks, the child
# runs nothing but exec) would otherwise be ended by the sanitizer in the child.
TSAN_TESTS = link_tests link_realtime_tests cli_tests main_window_tests panel_tests gui_end_to_end_tests \
	service_mode_tests package_tool_tests station_window_tests

# Each fuzz target for FUZZ_SECONDS (60 by default) from its seed corpus. An input that
# runs longer than 10 s counts as a hang and fails the run.
FUZZ_SECONDS ?= 60
fuzz-smoke:
	@tools/install-deps.sh base fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCPUCONFIG_FUZZ=ON -DCPUCONFIG_GUI=OFF -DCPUCONFIG_TESTS=OFF -DCPUCONFIG_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)
	for f in build-fuzz/fuzz/fuzz_*; do \
		n=$$(basename $$f); mkdir -p build-fuzz/corpus/$$n; \
		seeds=""; [ -d fuzz/corpus/$$n ] && seeds=fuzz/corpus/$$n; \
		[ -d fuzz/corpus/$${n#fuzz_} ] && seeds=fuzz/corpus/$${n#fuzz_}; \
		dict=""; [ -f fuzz/$${n#fuzz_}.dict ] && dict=-dict=fuzz/$${n#fuzz_}.dict; \
		echo "== $$n ($(FUZZ_SECONDS) s)"; \
		$$f -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=10 $$dict \
			build-fuzz/corpus/$$n $$seeds \
			>build-fuzz/$$n.log 2>&1 || { tail -40 build-fuzz/$$n.log; exit 1; }; \
		grep -E '^#[0-9]+.*DONE' build-fuzz/$$n.log | tail -1; \
	done
