# One kind of interruption at a sample of the vendor transfers of an upgrade
# (about 760 of them, every 120th), each in a fresh test bed: the first run meets it, the
# second must complete the firmware change and leave the reference image.
#   BED, CLI, UPG, KIND (stall or pull), REFERENCE (flash dump), WORK
set(failures "")
foreach(nth RANGE 1 760 120)
  if(KIND STREQUAL "pull")
    set(fault "pull=*:${nth}:200")
  else()
    set(fault "stall=*:${nth}")
  endif()
  execute_process(
    COMMAND ${BED} --converter serial=E2E000001,${fault} --dump ${WORK}
            -- sh -c "\"$0\" upgrade \"$1\"; \"$0\" upgrade --json \"$1\"" ${CLI} ${UPG}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/E2E000001.flash ${REFERENCE}
    RESULT_VARIABLE differ)
  if(NOT rc STREQUAL "0" OR NOT out MATCHES "\"step\":\"start-application\",\"success\":true" OR differ)
    string(APPEND failures "${KIND} at transfer ${nth}: exit ${rc}, image differs: ${differ}\n${out}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "every ${KIND} case recovered on the second run")
