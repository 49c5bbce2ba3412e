# Cross build for 32-bit Windows with MinGW-w64. The -posix compilers are required: the
# -win32 ones ship no std::thread / std::jthread.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CPUCONFIG_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${CPUCONFIG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CPUCONFIG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CPUCONFIG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CPUCONFIG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No Qt for Windows here: the engine, cpuctl.exe and the engine tests only.
set(CPUCONFIG_GUI OFF CACHE BOOL "" FORCE)

# Test binaries run under Wine, so gtest_discover_tests and ctest work unchanged. The first
# Wine program of a session starts services that keep its output open, which would stall
# ctest: tools/test-windows.sh runs `wineserver -p` and `wine wineboot` before ctest.
find_program(CPUCONFIG_WINE wine)
if(CPUCONFIG_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CPUCONFIG_WINE})
endif()
