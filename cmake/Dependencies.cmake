# Every dependency comes from Debian's packages (natively) or from the cross-built prefix that
# scripts/windows-deps builds from Debian's sources (Windows).

find_package(Threads REQUIRED)
# oneTBB's package expects Threads to be found first.
find_package(TBB REQUIRED)
find_package(GTest REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(tl-expected REQUIRED)
find_package(tsl-robin-map REQUIRED)
if(WIN32)
  # ICU's static common library; the stub data library stands in for the data, which full case
  # mapping does not need.
  find_package(ICU REQUIRED COMPONENTS uc data)
  target_compile_definitions(ICU::uc INTERFACE U_STATIC_IMPLEMENTATION)
  target_link_libraries(ICU::uc INTERFACE ICU::data)
else()
  find_package(ICU REQUIRED COMPONENTS uc)
endif()

# The browser's screen (ketterlin-scan --browse) on POSIX: ncursesw, for UTF-8 names.
if(NOT WIN32)
  set(CURSES_NEED_NCURSES TRUE)
  set(CURSES_NEED_WIDE TRUE)
  find_package(Curses REQUIRED)
endif()

find_package(re2 CONFIG QUIET)
if(NOT TARGET re2::re2)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)
  add_library(re2::re2 ALIAS PkgConfig::RE2)
endif()

# Google Benchmark, optional: the micro-benchmarks in bench/ are built only when it is found.
find_package(benchmark QUIET)
