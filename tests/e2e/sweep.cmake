# One kind of interruption at a sample of the vendor transfers of an upgrade
# (about 760 of them, every 120th), each in a fresh test bed: the first run meets it, the
# second must complete the firmware change and leave the reference image.
# The power cut hits one transfer of every phase instead (identify, the
# restart into the bootloader, the page loop, the external flash write and
# read-back, the page that makes the application startable, the restart
# into it), and the mode the unit powers up in must agree with the first
# run's `converter`: only new-application, unknown, as-found and untouched
# may start an application, only bootloader and unknown may stay in it.
#   BED, CLI, UPG, KIND (stall, pull or power), REFERENCE (flash dump), WORK
set(failures "")
if(KIND STREQUAL "power")
  # REQUEST:NTH of each phase (request 1's first transfer is the version
  # read, request 3's 121st the last page's final write).
  set(cases 1:1 4:1 3:1 3:60 6:1 6:200 5:80 3:121 1:122 4:2)
else()
  set(cases "")
  foreach(nth RANGE 1 760 120)
    list(APPEND cases "*:${nth}")
  endforeach()
endif()
foreach(case IN LISTS cases)
  if(KIND STREQUAL "pull")
    set(fault "pull=${case}:200")
  elseif(KIND STREQUAL "power")
    set(fault "power=${case}:200")
  else()
    set(fault "stall=${case}")
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
  set(untrue FALSE)
  if(listed STREQUAL "application" AND said STREQUAL "bootloader")
    set(untrue TRUE)
  elseif(listed STREQUAL "bootloader" AND NOT said MATCHES "^(bootloader|unknown)$")
    set(untrue TRUE)
  endif()
  if(NOT rc STREQUAL "0" OR NOT out MATCHES "\"step\":\"start-application\",\"success\":true" OR differ
     OR untrue)
    string(APPEND failures "${KIND} at ${case}: exit ${rc}, image differs: ${differ}, "
      "converter \"${said}\" then ${listed}\n${out}\n")
  endif()
  message(STATUS "${KIND} at ${case}: converter \"${said}\", then ${listed} at power-up")
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "every ${KIND} case recovered on the second run")
