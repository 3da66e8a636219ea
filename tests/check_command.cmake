# Runs COMMAND with ARGUMENTS (a ;-list) and checks its exit code and that
# its output (stdout and stderr together) matches EXPECTED_OUTPUT.
string(REPLACE "^^" ";" ARGUMENTS "${ARGUMENTS}")
execute_process(
  COMMAND ${EMULATOR} ${COMMAND} ${ARGUMENTS}
  RESULT_VARIABLE exit_code
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output
  TIMEOUT 120)
message("${output}")
if(NOT exit_code STREQUAL EXPECTED_EXIT)
  message(FATAL_ERROR "exit code ${exit_code}, expected ${EXPECTED_EXIT}")
endif()
if(NOT output MATCHES "${EXPECTED_OUTPUT}")
  message(FATAL_ERROR "output does not match: ${EXPECTED_OUTPUT}")
endif()
