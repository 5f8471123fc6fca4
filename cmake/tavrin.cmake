# Build helpers shared by the modules, tests, benchmarks and fuzz targets.

# tavrin_test(NAME name SOURCES ... LIBS ... [LOCK resource] [TIMEOUT seconds] [LABELS ...])
# One GoogleTest executable; each test case becomes a ctest test. Its main (test_main.cpp)
# sets the FIPS provider environment and TAVRIN_BUILD_DIR unless they are set already.
# LOCK serialises tests that share a resource, LABELS
# lets scripts pick a subset (label "tsan": the tests CI also runs under ThreadSanitizer).
function(tavrin_test)
  cmake_parse_arguments(T "" "NAME;LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tavrin_test_support tavrin_test_main GTest::gtest
                                          Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()
