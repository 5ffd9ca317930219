# Renders a manual page from scdoc source, then writes it compressed beside it (<page>.gz).
#   cmake -DSCDOC=<scdoc> -DGZIP=<gzip> -DSOURCE=<page.scd> -DPAGE=<page> -P render_page.cmake
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE}.new
                RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE ${PAGE}.new)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${status}")
endif()
file(RENAME ${PAGE}.new ${PAGE})
set(INPUT ${PAGE})
set(OUTPUT ${PAGE}.gz)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/compress.cmake)
