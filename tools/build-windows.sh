#!/usr/bin/env bash
# Cross-builds cpuconfig for Windows into WINDOWS_BUILD-ARCH (build-windows-x86_64,
# build-windows-i686): the engine, cpuctl.exe and the engine tests, and with Qt for Windows
# (WINDOWS_GUI=1, the default; tools/build-qt-windows.sh provides it) cpuconfig.exe and the
# window tests.
#
# Usage: tools/build-windows.sh ARCH [TARGET...]     (ARCH: x86_64 or i686; default: all)
# Environment: WINDOWS_BUILD (build-windows), WINDOWS_GUI (1), JOBS, CPUCONFIG_SHARED,
# CPUCONFIG_QT_CACHE. Says how long each step took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:-}
shift || true
case "$arch" in
x86_64 | i686) ;;
*)
    echo "usage: $0 x86_64|i686 [TARGET...]" >&2
    exit 2
    ;;
esac
wbuild=$root/${WINDOWS_BUILD:-build-windows}-$arch
gui=${WINDOWS_GUI:-1}
jobs=${JOBS:-$(nproc)}
toolchain=$root/cmake/mingw-$arch.cmake

# The test ports tools/test-windows.sh maps: COM20 carries a simulated card, COM25 a line
# whose far end reads nothing. Release without debug info, as the zips ship these programs
# (and it builds faster), at -O2 as the Linux build: GCC 12's -O3 warns falsely about
# std::function (maybe-uninitialized), and warnings are errors.
flags=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
    "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" -DCPUCONFIG_WERROR=ON -DCPUCONFIG_BENCH=OFF
    -DCPUCONFIG_WINE_TEST_PORT=COM20 -DCPUCONFIG_WINE_STALLED_PORT=COM25)
if [ "$gui" = 1 ]; then
    t0=$SECONDS
    qt=$("$root/tools/build-qt-windows.sh" "$arch" | tail -n 1)
    echo "build-windows: Qt for $arch-w64-mingw32 in $qt ($((SECONDS - t0)) s)"
    flags+=(-DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake"
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" -DCPUCONFIG_GUI=ON)
    want=ON
else
    flags+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCPUCONFIG_GUI=OFF)
    want=OFF
fi
# A folder configured the other way (with or without Qt) starts afresh.
if [ -f "$wbuild/CMakeCache.txt" ] && ! grep -qxF "CPUCONFIG_GUI:BOOL=$want" "$wbuild/CMakeCache.txt"; then
    rm -rf "$wbuild"
fi
if [ ! -f "$wbuild/build.ninja" ]; then
    mkdir -p "$wbuild"
    cmake -S "$root" -B "$wbuild" -G Ninja "${flags[@]}" >"$wbuild/configure.log" 2>&1 || {
        tail -n 20 "$wbuild/configure.log" >&2
        echo "build-windows: configuring $wbuild failed (log: $wbuild/configure.log)" >&2
        exit 1
    }
fi
t0=$SECONDS
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
cmake --build "$wbuild" -j "$jobs" "${targets[@]}"
echo "build-windows: $wbuild built (${*:-everything}) in $((SECONDS - t0)) s"
