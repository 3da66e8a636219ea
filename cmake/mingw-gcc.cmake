# The MinGW-w64 GCC cross compilers for METER_MINGW_TARGET. The -posix
# compilers give std::thread and std::mutex, which the test framework needs.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-target.cmake)
set(CMAKE_C_COMPILER ${METER_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${METER_MINGW_TARGET}-g++-posix)

# Everything static: nothing but system DLLs beside the module and programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
