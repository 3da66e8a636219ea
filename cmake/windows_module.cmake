# The module as the 32-bit Windows DLL the host loads: stdcall entry points
# exported under both names, the load notification and the version block.
#
# Linked without the C runtime's start-up: the loader calls DllMain itself,
# and nothing in the module needs the runtime set up first (no constructors,
# no thread-local data, no data imported from other DLLs). What it calls comes
# from KERNEL32, msvcrt (the heap and small string functions) and libgcc
# (64-bit division, stack probes).
enable_language(RC)
target_sources(cpuspeed PRIVATE
  ${PROJECT_SOURCE_DIR}/plugin/dll_main.cpp
  ${PROJECT_SOURCE_DIR}/plugin/version.rc
  ${PROJECT_SOURCE_DIR}/plugin/cpuspeed.def)
set_target_properties(cpuspeed PROPERTIES SUFFIX ".dll")
target_link_options(cpuspeed PRIVATE -nostdlib -Wl,--entry,_DllMain@12)
target_link_libraries(cpuspeed PRIVATE gcc msvcrt kernel32)

# The image's load configuration (platform/win32/fault_guard_win32.cpp) lists
# the guard's handler as the image's one safe exception handler; the linkers
# do not point the directory entry at it, this step does.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(TARGET cpuspeed POST_BUILD
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/load_config_directory.py
          ${CMAKE_NM} $<TARGET_FILE:cpuspeed>
  VERBATIM)
