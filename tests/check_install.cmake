# Installs the build in BUILD under PREFIX, then runs the installed host
# program, which must find the installed module by itself.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
foreach(file lib/cpuspeed-meter/cpuspeed.so bin/meter-host bin/meter-accuracy bin/meter-soak
             share/doc/cpuspeed-meter/LICENSE)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/meter-host --count 1 --interval 0
                OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
message("${output}")
if(NOT status EQUAL 0 OR NOT output MATCHES "cpuspeed-meter/cpuspeed.so" OR
   NOT output MATCHES "UTC  [0-9]+ MHz")
  message(FATAL_ERROR "the installed meter-host (exit ${status}) did not read the installed module")
endif()
