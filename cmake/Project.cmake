# Compiler flags shared by every target, and the helpers that declare libraries and tests.

add_compile_options(-Wall -Wextra)
# GCC 12 reports false -Wrestrict overlaps inside std::string concatenation at -O2 and above
# (GCC bug 105329); the warning finds nothing else in this code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
if(KETTERLIN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(KETTERLIN_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(KETTERLIN_SANITIZE STREQUAL "fuzzer")
  # Clang only: libFuzzer's coverage instrumentation with ASan and UBSan on every target. The fuzz
  # targets add -fsanitize=fuzzer, which links libFuzzer and its main (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT KETTERLIN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KETTERLIN_SANITIZE must be empty, address, thread or fuzzer")
endif()

if(NOT WIN32)
  # Symbols bound at start, so that the whole relocation table becomes read-only (with the relro
  # that the Debian toolchain links by default), as Debian builds its packages.
  add_link_options(LINKER:-z,now)
endif()
if(WIN32)
  # Windows 7 API level; Unicode everywhere.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  add_link_options(-static)
endif()

# The platform's implementation files end in this suffix: foo_posix.cpp or foo_win32.cpp.
if(WIN32)
  set(KETTERLIN_PLATFORM win32)
else()
  set(KETTERLIN_PLATFORM posix)
endif()

# Where `cmake --install` puts the programs (GNU install folders below the prefix): the host in
# bin/, the helper in libexec/ketterlin-scan/, where only the host looks for it. On Windows both
# go to the top of the prefix, side by side, as they are unpacked from the zip.
include(GNUInstallDirs)
if(WIN32)
  set(KETTERLIN_HOST_INSTALL_DIR .)
  set(KETTERLIN_HELPER_INSTALL_DIR .)
else()
  set(KETTERLIN_HOST_INSTALL_DIR ${CMAKE_INSTALL_BINDIR})
  set(KETTERLIN_HELPER_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/ketterlin-scan)
endif()
# Folders the install makes are rwxr-xr-x whatever the umask (packages check it).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The relative path stays right for any prefix the files are installed or unpacked to.
file(RELATIVE_PATH KETTERLIN_HELPER_FROM_HOST "/prefix/${KETTERLIN_HOST_INSTALL_DIR}"
     "/prefix/${KETTERLIN_HELPER_INSTALL_DIR}")

# ketterlin_build_info: the generated header "ketterlin/build_info.h" (version, install layout).
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.h.in
               ${PROJECT_BINARY_DIR}/include/ketterlin/build_info.h @ONLY)
add_library(ketterlin_build_info INTERFACE)
target_include_directories(ketterlin_build_info INTERFACE ${PROJECT_BINARY_DIR}/include)

# ketterlin_library(NAME SOURCES... [PLATFORM_SOURCES base...] [DEPS targets...])
# PLATFORM_SOURCES names files by base name: "os_error" adds os_error_posix.cpp or
# os_error_win32.cpp.
function(ketterlin_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PLATFORM_SOURCES;DEPS" ${ARGN})
  set(sources ${ARG_SOURCES})
  foreach(base IN LISTS ARG_PLATFORM_SOURCES)
    list(APPEND sources ${base}_${KETTERLIN_PLATFORM}.cpp)
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# ketterlin_test(NAME SOURCES... DEPS targets...): one GoogleTest binary, its cases found by CTest.
function(ketterlin_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  # One process per test binary: under Wine a process costs seconds, so cases are not split.
  add_test(NAME ${name} COMMAND ${name})
endfunction()
