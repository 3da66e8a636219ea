# The module as the Windows DLL a host loads: the entry points exported under
# both names, the load notification and the version block. The 32-bit DLL's
# entry points use the stdcall convention; x86-64 has one convention.
#
# Linked without the C runtime's start-up: the loader calls DllMain itself,
# and nothing in the module needs the runtime set up first (no constructors,
# no thread-local data, no data imported from other DLLs). What it calls comes
# from KERNEL32, msvcrt (the heap) and libgcc (64-bit division on i686).
enable_language(RC)
if(METER_WINDOWS STREQUAL win64)
  set(exports ${PROJECT_SOURCE_DIR}/plugin/cpuspeed-x64.def)
  set(entry DllMain)
  # The first Windows for x86-64.
  set(major 5)
  set(minor 2)
else()
  set(exports ${PROJECT_SOURCE_DIR}/plugin/cpuspeed.def)
  set(entry _DllMain@12)
  # The oldest Windows whose KERNEL32 and msvcrt have every function the DLL
  # imports.
  set(major 4)
  set(minor 0)
endif()
configure_file(${PROJECT_SOURCE_DIR}/plugin/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
target_sources(cpuspeed PRIVATE
  ${PROJECT_SOURCE_DIR}/plugin/dll_main.cpp
  ${CMAKE_BINARY_DIR}/version.rc
  ${exports})
set_target_properties(cpuspeed PROPERTIES SUFFIX ".dll")
target_link_options(cpuspeed PRIVATE -nostdlib -Wl,--entry,${entry}
  -Wl,--no-insert-timestamp
  -Wl,--major-os-version,${major},--minor-os-version,${minor}
  -Wl,--major-subsystem-version,${major},--minor-subsystem-version,${minor})
target_link_libraries(cpuspeed PRIVATE gcc msvcrt kernel32)

# On i686 the image's load configuration (platform/win32/fault_guard_win32.cpp)
# lists the guard's handler as the image's one safe exception handler; the
# linkers do not point the directory entry at it, this step does, after it
# has checked that the table lists that handler. x86-64 finds handlers
# through the unwind data instead.
if(METER_WINDOWS STREQUAL win32)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(TARGET cpuspeed POST_BUILD
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/load_config_directory.py
            ${CMAKE_NM} $<TARGET_FILE:cpuspeed>
    VERBATIM)
endif()
