# Everything a fresh Debian machine needs: `make run` and `make test` install what is
# missing, configure, build, then run or test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCPUCONFIG_WERROR=ON $(CMAKE_FLAGS)

.PHONY: all deps configure build run test format screenshots clean

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

# Windows: cross-build with MinGW (32-bit), run the engine tests and cpuctl.exe under Wine
# against simulated cards served by the Linux cpuctl.
.PHONY: test-windows
WINDOWS_BUILD ?= build-windows
test-windows: deps $(BUILD)/build.ninja
	@tools/install-deps.sh windows
	cmake --build $(BUILD) -j $(JOBS) --target cpuctl
	JOBS=$(JOBS) tools/test-windows.sh $(WINDOWS_BUILD) $(BUILD)/cli/cpuctl

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
