# Runs kelto-cli once and checks its exit code and output.
#   EXE   the program
#   ARGS  its arguments, separated by '|'
#   CODE  the exit code expected
#   OUT   a regular expression stdout must match (optional)
#   ERR   a regular expression stderr must match (optional)
#   SAME  pairs of files, separated by '|', that must be identical afterwards
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${EXE} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
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
  while(files)
    list(POP_FRONT files a b)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE differ)
    if(differ)
      message(FATAL_ERROR "${a} and ${b} differ")
    endif()
  endwhile()
endif()
message(STATUS "exit code ${rc} as expected")
