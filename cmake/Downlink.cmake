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

# downlink_test_folder(<prefix> LIBS ...)
# Builds every test/*_test.cpp of the calling folder as the test program <prefix>_<name>
# (e2e_*_test.cpp run the installed tree and wait for the install fixture) and every
# bench/*_bench.cpp as the benchmark program <prefix>_<name>, all linking LIBS.
function(downlink_test_folder prefix)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(n ${t} NAME_WE)
    set(kind)
    if(n MATCHES "^e2e_")
      set(kind E2E)
    endif()
    downlink_gtest(${prefix}_${n} SOURCES ${t} LIBS ${F_LIBS} ${kind})
  endforeach()
  file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*_bench.cpp)
  foreach(b ${benches})
    get_filename_component(n ${b} NAME_WE)
    downlink_benchmark(${prefix}_${n} SOURCES ${b} LIBS ${F_LIBS})
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
# headers; any other prefix gets its own copy.
function(downlink_install_headers)
  get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  get_filename_component(tree "${PROJECT_SOURCE_DIR}/downlink" ABSOLUTE)
  if(NOT prefix STREQUAL tree)
    install(FILES ${ARGN} DESTINATION include)
  endif()
endfunction()

# downlink_program(<name> MAIN <source> SOURCES ... INCLUDES ... LIBS ...)
# The program <name>, installed into bin/, built from its main source and the static library
# <name>_core of its other sources, which the folder's tests link to call the routines directly.
function(downlink_program name)
  cmake_parse_arguments(P "" "MAIN" "SOURCES;INCLUDES;LIBS" ${ARGN})
  add_library(${name}_core STATIC ${P_SOURCES})
  target_include_directories(${name}_core PUBLIC ${P_INCLUDES})
  target_link_libraries(${name}_core PUBLIC ${P_LIBS})
  add_executable(${name} ${P_MAIN})
  target_link_libraries(${name} PRIVATE ${name}_core)
  install(TARGETS ${name} RUNTIME DESTINATION bin)
  downlink_test_folder(${name} LIBS ${name}_core)
endfunction()
