# systemd-analyze verify on the generated unit, with ExecStart pointed at
# the daemon in the build tree; nothing else of the unit changes.
foreach(file UNIT MAN_PAGE DAEMON)
  if(NOT EXISTS "${${file}}")
    message(FATAL_ERROR "missing ${file}: ${${file}}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/man/man8")
file(COPY "${MAN_PAGE}" DESTINATION "${WORK_DIR}/man/man8")

file(READ "${UNIT}" text)
string(REGEX MATCH "\nExecStart=[^\n]*/ptybridge\n" exec "${text}")
if(NOT exec)
  message(FATAL_ERROR "no ExecStart of the daemon in ${UNIT}")
endif()
# Quoted: the build tree may have a space in its path.
string(REPLACE "${exec}" "\nExecStart=\"${DAEMON}\"\n" text "${text}")
file(WRITE "${WORK_DIR}/ptybridge.service" "${text}")

set(ENV{MANPATH} "${WORK_DIR}/man")
set(ENV{SYSTEMD_LOG_COLOR} 0)
execute_process(COMMAND "${SYSTEMD_ANALYZE}" verify "${WORK_DIR}/ptybridge.service"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify: exit status ${rc}\n${out}${err}")
endif()
