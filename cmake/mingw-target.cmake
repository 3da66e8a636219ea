# What the cross toolchains for the Windows forms share: the target named by
# METER_MINGW_TARGET (i686-w64-mingw32 or x86_64-w64-mingw32), and the
# MinGW-w64 headers and libraries the GCC cross toolchain installed for it.
string(REGEX MATCH "^[^-]+" processor ${METER_MINGW_TARGET})
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_RC_COMPILER ${METER_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${METER_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
