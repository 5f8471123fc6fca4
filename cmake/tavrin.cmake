# Build helpers shared by the modules, tests, benchmarks and fuzz targets.

# The environment under which the program finds the FIPS provider.
set(TAVRIN_FIPS_ENV
    "OPENSSL_MODULES=${TAVRIN_FIPS_DIR}"
    "OPENSSL_CONF=${TAVRIN_FIPS_DIR}/openssl.cnf")

# tavrin_test(NAME name SOURCES ... LIBS ... [LOCK resource] [TIMEOUT seconds] [LABELS ...])
# One GoogleTest executable; each test case becomes a ctest test that runs with the FIPS
# provider environment. LOCK serialises tests that share a resource (for example the
# syslog port 514), LABELS lets scripts pick a subset (for example "server" for TSan).
function(tavrin_test)
  cmake_parse_arguments(T "" "NAME;LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tavrin_test_support GTest::gtest GTest::gtest_main
                                          Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props ENVIRONMENT "${TAVRIN_FIPS_ENV};TAVRIN_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT ${T_TIMEOUT})
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()
