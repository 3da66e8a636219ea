# Makes the Windows package of the build in BUILD, then unpacks it into FOLDER
# as a user would, for the gates that check the packaged DLL.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target package
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${FOLDER})
file(ARCHIVE_EXTRACT INPUT ${PACKAGE} DESTINATION ${FOLDER})
file(GLOB contents RELATIVE ${FOLDER} ${FOLDER}/*)
message("${PACKAGE}: ${contents}")
