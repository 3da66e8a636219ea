# Runs COMMAND with ARGUMENTS (a ;-list) and checks its exit code and that
# its output (stdout and stderr together) matches EXPECTED_OUTPUT. With
# STDOUT_FILE, the standard output goes there and stderr alone is matched.
string(REPLACE "^^" ";" ARGUMENTS "${ARGUMENTS}")
if(STDOUT_FILE)
  set(stdout OUTPUT_FILE ${STDOUT_FILE})
else()
  set(stdout OUTPUT_VARIABLE output)
endif()
execute_process(
  COMMAND ${EMULATOR} ${COMMAND} ${ARGUMENTS}
  RESULT_VARIABLE exit_code
  ${stdout}
  ERROR_VARIABLE output
  TIMEOUT 120)
message("${output}")
if(NOT exit_code STREQUAL EXPECTED_EXIT)
  message(FATAL_ERROR "exit code ${exit_code}, expected ${EXPECTED_EXIT}")
endif()
if(NOT output MATCHES "${EXPECTED_OUTPUT}")
  message(FATAL_ERROR "output does not match: ${EXPECTED_OUTPUT}")
endif()
