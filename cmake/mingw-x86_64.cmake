# Cross build for 64-bit Windows; see cmake/mingw.cmake.
set(CPUCONFIG_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
