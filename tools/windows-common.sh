# Sourced by tools/test-windows.sh and tools/package-windows.sh, with their arguments: where
# things are, which builds, the run on a virtual display, and the PASS/FAIL lines.
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
root=$PWD
hostctl=$(realpath "${1:-build/cli/cpuctl}")
archs=${WINDOWS_ARCHS:-x86_64 i686}
stem=${WINDOWS_BUILD:-build-windows}
# Every Windows program here is started on purpose with its platform: the window tests get
# theirs from ctest, cpuconfig.exe uses the display.
unset QT_QPA_PLATFORM

# The whole run on a virtual display, from the start: Wine's desktop belongs to its session,
# and one begun without a display never shows a window. Starts the script again there.
run_on_display() {
    if [ -z "${CPUCONFIG_ON_XVFB:-}" ]; then
        exec env CPUCONFIG_ON_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" \
            "$root/tools/$(basename "$0")" "$hostctl"
    fi
}

passed=0
failed=0
label=""
pass() {
    echo "PASS: [$label] $*"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL: [$label] $*"
    failed=$((failed + 1))
}
