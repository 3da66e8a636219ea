# The gates of a Windows package, as labelled tests (ctest -L dll): the
# package is made and unpacked once (the fixture), then checked by
# check_dll.py, and the checker itself against doctored copies of its DLL.
# On 32 bits the post-link step is run on a table that lists another handler,
# which it must refuse. The packaged DLL's own run under Wine is registered
# with the test programs (tests/CMakeLists.txt).
add_test(NAME dll.package
  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DPACKAGE=${METER_PACKAGE}
          -DFOLDER=${METER_PACKAGE_FOLDER} -P ${PROJECT_SOURCE_DIR}/cmake/package_fixture.cmake)
set_tests_properties(dll.package PROPERTIES FIXTURES_SETUP package)

# The checker runs as a program: its first line names Debian's Python, which
# has the PE parser, whatever python3 comes first on the path.
add_test(NAME dll.check
  COMMAND ${PROJECT_SOURCE_DIR}/tests/check_dll.py --version ${PROJECT_VERSION} ${METER_PACKAGE})
add_test(NAME dll.doctored_copies_refused
  COMMAND ${PROJECT_SOURCE_DIR}/tests/check_dll_test.py --version ${PROJECT_VERSION}
          ${METER_PACKAGE})
set(gates dll.package dll.check dll.doctored_copies_refused)
if(METER_WINDOWS STREQUAL win32)
  add_test(NAME dll.post_link_refuses_another_handler
    COMMAND ${PROJECT_SOURCE_DIR}/tests/check_dll_test.py --post-link ${CMAKE_NM}
            $<TARGET_FILE:cpuspeed>)
  list(APPEND gates dll.post_link_refuses_another_handler)
endif()
set_tests_properties(${gates} PROPERTIES LABELS dll)
set_tests_properties(dll.check dll.doctored_copies_refused PROPERTIES FIXTURES_REQUIRED package)

# The clang build's guard, whose assembly must build at every optimisation
# level: unoptimised, with a frame pointer, clang has the fewest registers
# to spare for it.
if(TARGET platform_guard_unoptimised)
  add_test(NAME dll.guard_builds_unoptimised
    COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target platform_guard_unoptimised)
  set_tests_properties(dll.guard_builds_unoptimised PROPERTIES LABELS dll)
endif()
