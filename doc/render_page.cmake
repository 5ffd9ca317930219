# Renders a manual page from scdoc source and writes the page compressed beside it.
#   cmake -DSCDOC=<scdoc> -DGZIP=<gzip> -DSOURCE=<page.scd> -DPAGE=<page> -P render_page.cmake
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE}.new
                RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE ${PAGE}.new)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${status}")
endif()
file(RENAME ${PAGE}.new ${PAGE})
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${PAGE} OUTPUT_FILE ${PAGE}.gz
                RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE ${PAGE}.gz)
  message(FATAL_ERROR "gzip failed on ${PAGE}: ${status}")
endif()
