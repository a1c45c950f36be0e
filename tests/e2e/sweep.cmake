# One kind of interruption at a sample of the vendor transfers of an upgrade
# (about 760 of them, every 120th; the power cut at one transfer of each
# phase after the restart into the bootloader, REQUEST:NTH), each in a fresh
# test bed: the first run meets it, the
# mode the unit is in afterwards must agree with its record's `converter`,
# and the second run must complete the change and leave the reference image.
#   BED, CLI, UPG, KIND (stall, pull or power), REFERENCE (flash dump), WORK
set(failures "")
set(cases 1:1 3:1 3:60 6:1 6:200 5:80 3:121 1:122 4:2)
if(NOT KIND STREQUAL "power")
  set(cases "")
  foreach(nth RANGE 1 760 120)
    list(APPEND cases "*:${nth}")
  endforeach()
endif()
foreach(case IN LISTS cases)
  set(fault "${KIND}=${case}")
  if(NOT KIND STREQUAL "stall")
    set(fault "${fault}:200")
  endif()
  execute_process(
    COMMAND ${BED} --converter serial=E2E000001,${fault} --dump ${WORK}
            -- sh -c "\"$0\" upgrade --json \"$1\"; sleep 1; \"$0\" list; \"$0\" upgrade --json \"$1\"" ${CLI} ${UPG}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/E2E000001.flash ${REFERENCE}
    RESULT_VARIABLE differ)
  string(REGEX MATCH "\"converter\":\"([a-z-]+)\"" said "${out}")
  set(said "${CMAKE_MATCH_1}")
  string(REGEX MATCH "E2E000001  bus [0-9]+ device [0-9]+  ([a-z]+)" listed "${out}")
  set(listed "${CMAKE_MATCH_1}")
  message(STATUS "${KIND} at ${case}: converter \"${said}\", then ${listed}")
  if(NOT rc STREQUAL "0" OR NOT out MATCHES "\"step\":\"start-application\",\"success\":true" OR differ
     OR (listed STREQUAL "application" AND said STREQUAL "bootloader")
     OR (listed STREQUAL "bootloader" AND NOT said MATCHES "^(bootloader|unknown)$"))
    string(APPEND failures "${KIND} at ${case}: exit ${rc}, image differs: ${differ}, "
      "converter \"${said}\" then ${listed}\n${out}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "every ${KIND} case recovered on the second run")
