# Cross-builds the 32-bit Windows form with MinGW-w64 for i686. The -posix
# compilers give std::thread and std::mutex, which the test framework needs.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686-target.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)

# Everything static: nothing but system DLLs beside the module and programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
