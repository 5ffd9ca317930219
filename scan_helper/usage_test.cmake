# Runs the helper with a command line it must refuse and checks the answer byte for byte: the
# usage text and one line feed (no carriage return) on standard error, nothing on standard output,
# exit status 1.
#   cmake -DHELPER=<executable> -DCAPTURE=<file prefix> [-DEMULATOR=<program|arguments>]
#         [-DARGUMENTS=<a|b|...>] -P usage_test.cmake
# EMULATOR and ARGUMENTS separate their items with "|". The two outputs are captured in the files
# <CAPTURE>.out and <CAPTURE>.err and read as bytes: text reads drop the "\r" of "\r\n".
if(NOT HELPER OR NOT CAPTURE)
  message(FATAL_ERROR "usage: cmake -DHELPER=<executable> -DCAPTURE=<file prefix> "
                      "[-DEMULATOR=...] [-DARGUMENTS=...] -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()
string(REPLACE "|" ";" emulator "${EMULATOR}")
string(REPLACE "|" ";" arguments "${ARGUMENTS}")

execute_process(
  COMMAND ${emulator} ${HELPER} ${arguments}
  RESULT_VARIABLE status
  OUTPUT_FILE "${CAPTURE}.out"
  ERROR_FILE "${CAPTURE}.err")
file(READ "${CAPTURE}.out" output HEX)
file(READ "${CAPTURE}.err" error HEX)

# The bytes of `hex` as quoted text, control and non-ASCII bytes escaped ("\r", "\x00").
function(shown_bytes hex result)
  string(LENGTH "${hex}" length)
  set(text "")
  set(position 0)
  while(position LESS length)
    string(SUBSTRING "${hex}" ${position} 2 byte)
    math(EXPR code "0x${byte}")
    if(code EQUAL 10)
      string(APPEND text "\\n")
    elseif(code EQUAL 13)
      string(APPEND text "\\r")
    elseif(code GREATER_EQUAL 32 AND code LESS 127)
      string(ASCII ${code} character)
      string(APPEND text "${character}")
    else()
      string(APPEND text "\\x${byte}")
    endif()
    math(EXPR position "${position} + 2")
  endwhile()
  set(${result} "\"${text}\"" PARENT_SCOPE)
endfunction()

string(HEX "usage: ketterlin-scan-helper --pipe <name>\n" expected_error)
set(failures "")
if(NOT status STREQUAL "1")
  string(APPEND failures "exit status: ${status}, expected 1\n")
endif()
if(NOT output STREQUAL "")
  shown_bytes("${output}" shown)
  string(APPEND failures "standard output: ${shown}, expected nothing\n")
endif()
if(NOT error STREQUAL expected_error)
  shown_bytes("${error}" shown)
  shown_bytes("${expected_error}" wanted)
  string(APPEND failures "standard error: ${shown}, expected ${wanted}\n")
endif()
if(failures)
  message(FATAL_ERROR "${HELPER} ${arguments}:\n${failures}")
endif()
