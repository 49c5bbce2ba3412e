# Cross builds for Windows with MinGW-w64, shared by the two toolchain files
# (cmake/mingw-i686.cmake, cmake/mingw-x86_64.cmake), which set CPUCONFIG_MINGW_ARCH first.
# The -posix compilers are required: the -win32 ones ship no std::thread / std::jthread.
#
# With Qt for Windows (tools/build-qt-windows.sh), Qt's own toolchain file goes first and
# loads this one:
#   cmake -S . -B build-windows-x86_64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=<qt>/lib/cmake/Qt6/qt.toolchain.cmake \
#     -DQT_CHAINLOAD_TOOLCHAIN_FILE=$PWD/cmake/mingw-x86_64.cmake
# Without it, the build has the engine, cpuctl.exe and the engine tests only.
set(CMAKE_SYSTEM_NAME Windows)
if(CPUCONFIG_MINGW_ARCH STREQUAL "i686")
    set(CMAKE_SYSTEM_PROCESSOR x86)
else()
    set(CMAKE_SYSTEM_PROCESSOR ${CPUCONFIG_MINGW_ARCH})
endif()

set(CPUCONFIG_MINGW_PREFIX ${CPUCONFIG_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${CPUCONFIG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CPUCONFIG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CPUCONFIG_MINGW_PREFIX}-windres)

list(APPEND CMAKE_FIND_ROOT_PATH /usr/${CPUCONFIG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test binaries run under Wine, so gtest_discover_tests and ctest work unchanged (through
# the wrapper cmake/Windows.cmake makes, which also finds Qt's DLLs). 64-bit programs start
# with the 64-bit loader itself: where the kernel runs no 32-bit programs, the plain `wine`
# starter may try the 32-bit loader first. The first Wine program of a session starts
# services that keep its output open, which would stall ctest: tools/test-windows.sh runs
# `wineserver -p` and `wineboot` before ctest, and the tests' starter (wine-test) passes their
# output on through files.
if(CPUCONFIG_MINGW_ARCH STREQUAL "x86_64")
    find_program(CPUCONFIG_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
find_program(CPUCONFIG_WINE wine)
