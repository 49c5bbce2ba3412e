# Cross build for 32-bit Windows (runs on 32-bit and 64-bit Windows); see cmake/mingw.cmake.
set(CPUCONFIG_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
