# Runs COMMAND (a list) and fails unless it exits with status 0 and prints
# nothing at all.
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  list(JOIN COMMAND " " shown)
  message(FATAL_ERROR "${shown}\nexit status: ${rc}\n${out}${err}")
endif()
