# Every dependency is a Debian package installed by scripts/setup.
find_package(PkgConfig REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(fmt 9 REQUIRED)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc)
find_package(Threads REQUIRED)

if(TILLERPAD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(TILLERPAD_BENCH)
  find_package(benchmark REQUIRED)
endif()
