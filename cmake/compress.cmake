# Compresses a file as Debian wants its documentation compressed: gzip -9 without the name and
# time of the original, so that the same input always gives the same bytes.
#   cmake -DGZIP=<gzip> -DINPUT=<file> -DOUTPUT=<file.gz> -P compress.cmake
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}
                RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "gzip failed on ${INPUT}: ${status}")
endif()
