# CPack runs this after staging the files and stripping the programs, before it builds the Debian
# package: the programs also lose the .comment and .note sections (compiler versions and notes
# nothing reads), as Debian's dh_strip removes them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
foreach(staged IN LISTS CPACK_TEMPORARY_INSTALL_DIRECTORY)
  file(GLOB_RECURSE programs LIST_DIRECTORIES false
       ${staged}/usr/bin/* ${staged}/usr/libexec/*)
  foreach(program IN LISTS programs)
    execute_process(
      COMMAND ${CPACK_KETTERLIN_OBJCOPY} --remove-section=.comment --remove-section=.note
              ${program}
      RESULT_VARIABLE status)
    if(NOT status STREQUAL "0")
      message(FATAL_ERROR "objcopy failed on ${program}: ${status}")
    endif()
  endforeach()
endforeach()
