# Shared build helpers for the downlink subsystems.

# downlink_gtest(<name> SOURCES ... [LIBS ...] [E2E])
# Builds one GoogleTest program and registers its cases with CTest.  E2E tests
# run the installed programs, so they wait for the install fixture.
function(downlink_gtest name)
  if(NOT DOWNLINK_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "E2E" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE testkit GTest::gtest_main ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    DOWNLINK_BIN_DIR="${DOWNLINK_BIN_DIR}"
    DOWNLINK_LIB_DIR="${DOWNLINK_LIB_DIR}"
    DOWNLINK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(T_E2E)
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES FIXTURES_REQUIRED installed TIMEOUT 300)
  else()
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# downlink_benchmark(<name> SOURCES ... [LIBS ...])
function(downlink_benchmark name)
  if(NOT DOWNLINK_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE benchmark::benchmark ${B_LIBS})
endfunction()
