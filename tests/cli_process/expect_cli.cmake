# Runs kelto-cli once and checks its exit code and output.
#   EXE   the program
#   ARGS  its arguments, separated by '|'
#   CODE  the exit code expected
#   OUT   a regular expression stdout must match (optional)
#   ERR   a regular expression stderr must match (optional)
#   SAME  two files, separated by '|', that must be identical afterwards
#   OUTFILE  where stdout goes instead (optional; OUT is then not checked)
string(REPLACE "|" ";" args "${ARGS}")
if(DEFINED OUTFILE)
  execute_process(COMMAND ${EXE} ${args} RESULT_VARIABLE rc OUTPUT_FILE ${OUTFILE}
    ERROR_VARIABLE err)
else()
  execute_process(COMMAND ${EXE} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()
if(NOT rc STREQUAL "${CODE}")
  message(FATAL_ERROR "exit code ${rc}, expected ${CODE}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(DEFINED OUT AND NOT out MATCHES "${OUT}")
  message(FATAL_ERROR "stdout does not match '${OUT}':\n${out}")
endif()
if(DEFINED ERR AND NOT err MATCHES "${ERR}")
  message(FATAL_ERROR "stderr does not match '${ERR}':\n${err}")
endif()
if(DEFINED SAME)
  string(REPLACE "|" ";" files "${SAME}")
  list(GET files 0 a)
  list(GET files 1 b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${a} and ${b} differ")
  endif()
endif()
message(STATUS "exit code ${rc} as expected")
