# Runs one scripted firmware change under the test bed and checks what the
# operator was shown.
#   BED      kelto-testbed
#   EXE      the program
#   PRELOAD  the scripted operator
#   MODE     application or bootloader: the converter's mode at the start
file(REMOVE ${SHOT})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env KELTO_EMU_MODE=${MODE} KELTO_EMU_TIMING=zero
          KELTO_DEMO_FILE=${UPG} KELTO_DEMO_SHOT=${SHOT} LD_DEBUG=libs
          ${BED} --preload ${PRELOAD} -- ${EXE}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "exit code ${rc}\n${out}")
endif()
# The program runs with the system's libusb-0.1 (the bed itself never loads
# it) and nothing of the in-process emulator.
if(NOT err MATCHES "calling init: [^\n]*/libusb-0\\.1\\.so\\.4" OR err MATCHES "libkelto-emulator")
  message(FATAL_ERROR "the program did not run on the system's libusb-0.1 alone")
endif()
if(MODE STREQUAL "application")
  set(expected
    "log: ${UPG}" "log: KT0000001" "log: Apllication mode" "log: Reset device"
    "log: Serial:KT0000001b" "log: Writting firmware ... "
    "log: Verify External Flash ...  " "Firmware change completed (OK")
else()
  set(expected
    "log: ${UPG}" "log: KT0000001b" "log: Bootloader mode" "log: Writting firmware ... "
    "log: Verify External Flash ...  " "Firmware change completed (OK")
endif()
set(rest "${out}")
foreach(line IN LISTS expected)
  string(FIND "${rest}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "missing or out of order: '${line}'\n${out}")
  endif()
  string(SUBSTRING "${rest}" ${at} -1 rest)
endforeach()
# The bar is sampled between lines, so only its arrival is checked.
string(FIND "${out}" "flash: 100%" at)
if(at LESS 0)
  message(FATAL_ERROR "flash bar never at 100%\n${out}")
endif()
if(NOT EXISTS ${SHOT})
  message(FATAL_ERROR "no screenshot\n${out}")
endif()
message(STATUS "firmware change completed as the operator saw it")
