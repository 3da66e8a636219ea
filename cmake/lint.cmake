# The linters, as labelled tests (ctest -L lint) of the Linux build, whose
# compilation database clang-tidy reads: clang-format and clang-tidy over
# every folder of C++, shellcheck over the scripts, flake8 over the Python.
# Windows-only sources are compiled with -Werror by the cross compilers and
# are formatted like the rest; clang-tidy reads what this build compiles.
find_program(METER_CLANG_FORMAT clang-format REQUIRED)
find_program(METER_CLANG_TIDY clang-tidy REQUIRED)
find_program(METER_SHELLCHECK shellcheck REQUIRED)
find_program(METER_FLAKE8 flake8 REQUIRED)

set(folders measure plugin platform tools tests bench fuzz)
set(sources)
foreach(folder ${folders})
  file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp
       ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  list(APPEND sources ${found})
endforeach()
add_test(NAME lint.format COMMAND ${METER_CLANG_FORMAT} --dry-run -Werror ${sources})

# One test per folder, so that CTest runs them side by side. The fuzz
# targets build in their own tree only: they are read with the project's
# include path alone.
foreach(folder ${folders})
  file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  list(FILTER found EXCLUDE REGEX "/win32/|/dll_main\\.cpp$|/processor_faults\\.cpp$")
  if(folder STREQUAL fuzz)
    add_test(NAME lint.tidy.${folder}
      COMMAND ${METER_CLANG_TIDY} --quiet ${found} -- -std=c++17 -I${PROJECT_SOURCE_DIR})
  else()
    add_test(NAME lint.tidy.${folder} COMMAND ${METER_CLANG_TIDY} -p ${CMAKE_BINARY_DIR} --quiet ${found})
  endif()
endforeach()

file(GLOB scripts CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/*.sh ${PROJECT_SOURCE_DIR}/tests/*.sh)
add_test(NAME lint.shellcheck COMMAND ${METER_SHELLCHECK} ${scripts})
file(GLOB python CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/*.py ${PROJECT_SOURCE_DIR}/cmake/*.py)
add_test(NAME lint.python COMMAND ${METER_FLAKE8} --max-line-length=100 ${python})

get_property(lint DIRECTORY PROPERTY TESTS)
list(FILTER lint INCLUDE REGEX "^lint\\.")
set_tests_properties(${lint} PROPERTIES LABELS lint)
