# Cross-builds the 32-bit Windows form, the one the host loads, with
# MinGW-w64's GCC for i686.
set(METER_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-gcc.cmake)
