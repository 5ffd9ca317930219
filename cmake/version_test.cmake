# Runs a program with --version alone and checks its answer: the expected line on standard output
# (ended by "\n"; under an emulator also by "\r\n", as Windows writes text lines), nothing on
# standard error, exit status 0.
#   cmake -DPROGRAM=<executable> -DEXPECTED=<line> [-DEMULATOR=<program|arguments>]
#         -P version_test.cmake
if(NOT PROGRAM OR NOT EXPECTED)
  message(FATAL_ERROR "usage: cmake -DPROGRAM=<executable> -DEXPECTED=<line> [-DEMULATOR=...] "
                      "-P ${CMAKE_SCRIPT_MODE_FILE}")
endif()
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(
  COMMAND ${emulator} ${PROGRAM} --version
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE error)

if(emulator)
  string(REPLACE "\r\n" "\n" output "${output}")
endif()
set(failures "")
if(NOT status STREQUAL "0")
  string(APPEND failures "exit status: ${status}, expected 0\n")
endif()
if(NOT output STREQUAL "${EXPECTED}\n")
  string(APPEND failures "standard output: \"${output}\", expected \"${EXPECTED}\" and a line end\n")
endif()
if(NOT error STREQUAL "")
  string(APPEND failures "standard error: \"${error}\", expected nothing\n")
endif()
if(failures)
  message(FATAL_ERROR "${PROGRAM} --version:\n${failures}")
endif()
