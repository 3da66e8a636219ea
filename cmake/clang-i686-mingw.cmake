# Cross-builds the 32-bit Windows form with clang and lld, over the MinGW-w64
# headers and libraries that the GCC cross toolchain installed. lld is the
# linker of the clang-based MinGW toolchains; the DLL's checks are proven
# against it.
set(METER_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-target.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_NM i686-w64-mingw32-nm)
set(CMAKE_STRIP i686-w64-mingw32-strip)

# Debian names GCC's MinGW folders 12-posix and 12-win32, which clang's
# driver does not take for version folders: clang is told where libgcc and
# the C++ library's headers are, from the GCC cross compiler itself.
execute_process(COMMAND i686-w64-mingw32-gcc-posix -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_folder ${libgcc} DIRECTORY)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${gcc_folder}/include/c++ -isystem ${gcc_folder}/include/c++/i686-w64-mingw32")

set(linker_flags "-fuse-ld=lld -static -L${gcc_folder}")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${linker_flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${linker_flags})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${linker_flags})
# The C++ library's threads come from winpthreads, which GCC's driver links by
# itself and clang's does not (meter-host.exe needs them; the DLL is C).
set(CMAKE_CXX_STANDARD_LIBRARIES "-lwinpthread -lkernel32" CACHE STRING "")
