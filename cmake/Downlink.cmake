# Shared build helpers for the downlink subsystems.

# downlink_gtest(<name> SOURCES ... [LIBS ...] [E2E])
# Builds one GoogleTest program and registers its cases with CTest.  E2E tests
# run the programs installed into the build folder's test prefix, so they wait for the
# install fixture.
function(downlink_gtest name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "E2E" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE testkit GTest::gtest_main ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    DOWNLINK_BIN_DIR="${DOWNLINK_TEST_BIN_DIR}"
    DOWNLINK_LIB_DIR="${DOWNLINK_TEST_LIB_DIR}"
    DOWNLINK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(T_E2E)
    gtest_discover_tests(${name} TEST_PREFIX "${name}." NO_PRETTY_VALUES DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 60
      PROPERTIES FIXTURES_REQUIRED installed TIMEOUT 300)
  else()
    gtest_discover_tests(${name} TEST_PREFIX "${name}." NO_PRETTY_VALUES DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 60
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

# downlink_test_folder(<prefix> LIBS ... [TESTS <name> ...] [BENCHES <name> ...])
# Builds test/<name>.cpp of the calling folder for each of TESTS as the test program
# <prefix>_<name> (e2e_* names run the installed programs and wait for the install fixture)
# and bench/<name>.cpp for each of BENCHES as the benchmark program <prefix>_<name>, all
# linking LIBS.
function(downlink_test_folder prefix)
  cmake_parse_arguments(F "" "" "LIBS;TESTS;BENCHES" ${ARGN})
  foreach(n ${F_TESTS})
    set(kind)
    if(n MATCHES "^e2e_")
      set(kind E2E)
    endif()
    downlink_gtest(${prefix}_${n} SOURCES test/${n}.cpp LIBS ${F_LIBS} ${kind})
  endforeach()
  foreach(n ${F_BENCHES})
    downlink_benchmark(${prefix}_${n} SOURCES bench/${n}.cpp LIBS ${F_LIBS})
  endforeach()
endfunction()

# downlink_shared_library(<target> SOURCES ...)
# A versioned shared library lib<target>.so.1.0 (with .so.1 and .so links) that exports only
# what its headers mark for export, installed into lib/.
function(downlink_shared_library target)
  cmake_parse_arguments(L "" "" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${L_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target} VERSION 1.0 SOVERSION 1
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/downlink/include)
  install(TARGETS ${target} LIBRARY DESTINATION lib)
endfunction()

# downlink_install_headers(<header> ...)
# The default prefix is the downlink tree itself, whose include folder already holds the public
# headers; any other prefix (the one given when installing wins) gets its own copy.
function(downlink_install_headers)
  get_filename_component(tree "${PROJECT_SOURCE_DIR}/downlink" ABSOLUTE)
  install(CODE "
    get_filename_component(prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    if(NOT prefix STREQUAL \"${tree}\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/include\" TYPE FILE FILES ${ARGN})
    endif()")
endfunction()

# downlink_program(<name> MAIN <source> SOURCES ... INCLUDES ... LIBS ...)
# The program <name>, installed into bin/, built from its main source and the static library
# <name>_core of its other sources, which the folder's tests link to call the routines directly
# (downlink_test_folder).
function(downlink_program name)
  cmake_parse_arguments(P "" "MAIN" "SOURCES;INCLUDES;LIBS" ${ARGN})
  add_library(${name}_core STATIC ${P_SOURCES})
  target_include_directories(${name}_core PUBLIC ${P_INCLUDES})
  target_link_libraries(${name}_core PUBLIC ${P_LIBS})
  add_executable(${name} ${P_MAIN})
  target_link_libraries(${name} PRIVATE ${name}_core)
  install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()
