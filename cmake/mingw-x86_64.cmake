# Cross-builds the 64-bit Windows form, for hosts built for 64 bits, with
# MinGW-w64's GCC for x86-64.
set(METER_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-gcc.cmake)
