# Every dependency comes from Debian's packages (natively) or from the cross-built prefix that
# scripts/windows-deps builds from Debian's sources (Windows).

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(tl-expected REQUIRED)
find_package(tsl-robin-map REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc)
if(WIN32)
  target_compile_definitions(ICU::uc INTERFACE U_STATIC_IMPLEMENTATION)
endif()

find_package(re2 CONFIG QUIET)
if(NOT TARGET re2::re2)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)
  add_library(re2::re2 ALIAS PkgConfig::RE2)
endif()
