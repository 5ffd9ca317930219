# Checks the rendered manual page: man (and groff under it) renders it without a warning, and its
# source documents every option that ketterlin-scan --help lists, as *option*.
#   cmake -DMAN=<man> -DPAGE=<page> -DSOURCE=<page.scd> -DHOST=<ketterlin-scan>
#         -P manual_page_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/help_options.cmake)

set(failures "")
if(NOT MAN)
  string(APPEND failures "man is not installed (Debian package man-db)\n")
else()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 LC_ALL=C.UTF-8 ${MAN} --warnings -l ${PAGE}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE rendered
    ERROR_VARIABLE warnings)
  if(NOT status STREQUAL "0" OR NOT warnings STREQUAL "")
    string(APPEND failures "man --warnings -l ${PAGE} (status ${status}):\n${warnings}\n")
  elseif(NOT rendered MATCHES "ketterlin-scan - measure")
    string(APPEND failures "the rendered page lacks its NAME line:\n${rendered}\n")
  endif()
endif()

file(READ ${SOURCE} source)
help_options(${HOST} options)
foreach(option IN LISTS options)
  string(FIND "${source}" "*${option}*" found)
  if(found EQUAL -1)
    string(APPEND failures "${option} (from --help) is not documented as *${option}*\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
