# Cross-compiles for 64-bit Windows with mingw-w64's POSIX-threads compilers (std::thread needs
# them) and runs the results, tests included, under Wine.
#
# KETTERLIN_WINDOWS_DEPS: the prefix of static Windows libraries that scripts/windows-deps builds
# from Debian's sources. Only it and the mingw-w64 runtime are searched for headers, libraries
# and packages, so no header of the build machine leaks into the Windows build.
# KETTERLIN_WINEPREFIX: the private Wine prefix the tests run in (default: wine/ in the build
# directory); scripts/wine-run creates it on first use.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KETTERLIN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KETTERLIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KETTERLIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KETTERLIN_MINGW_TRIPLET}-windres)

set(KETTERLIN_WINDOWS_DEPS "" CACHE PATH "Prefix of the cross-built Windows libraries")
set(KETTERLIN_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Wine prefix for running tests")
# try_compile projects read this file again; they need the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KETTERLIN_WINDOWS_DEPS KETTERLIN_WINEPREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${KETTERLIN_MINGW_TRIPLET})
if(KETTERLIN_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH "${KETTERLIN_WINDOWS_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every Windows program the build runs (tests, checks) goes through Wine in the private prefix.
get_filename_component(_ketterlin_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_ketterlin_root}/scripts/wine-run;${KETTERLIN_WINEPREFIX}")
unset(_ketterlin_root)
