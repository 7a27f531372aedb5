# GoogleTest is built from the distribution's sources so that the sanitizer presets instrument it too.
set(TORVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${TORVEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)

include(GoogleTest)

# The one library of what tests, benchmarks and fuzz targets share (tests/support, namespace
# torvex_test): temporary folders and board roots, the simulated board of a process, WaitFor and the
# like. Header-only; its headers are reached as "support/<name>.h".
add_library(torvex_test_support INTERFACE)
target_include_directories(torvex_test_support INTERFACE ${PROJECT_SOURCE_DIR}/tests)

# Every test has a time-out, so that a wait that never ends fails its test instead of hanging the
# run: seconds per kind of test, scaled for the sanitizer builds, which run several times slower.
if(TORVEX_SANITIZE)
  set(TORVEX_TEST_TIMEOUT_SCALE 3 CACHE STRING "Factor on every test's time-out")
else()
  set(TORVEX_TEST_TIMEOUT_SCALE 1 CACHE STRING "Factor on every test's time-out")
endif()
set(TORVEX_TIMEOUT_unit 30)
set(TORVEX_TIMEOUT_integration 120)
set(TORVEX_TIMEOUT_fuzz 60)
function(torvex_test_timeout label out)
  if(NOT DEFINED TORVEX_TIMEOUT_${label})
    message(FATAL_ERROR "no time-out for tests labelled ${label}")
  endif()
  math(EXPR seconds "${TORVEX_TIMEOUT_${label}} * ${TORVEX_TEST_TIMEOUT_SCALE}")
  set(${out} ${seconds} PARENT_SCOPE)
endfunction()

# torvex_add_gtest(NAME SOURCES... LIBS ...): one test program; each TEST becomes a CTest test.
function(torvex_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  torvex_test_timeout(${T_LABELS} timeout)
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} torvex_test_support GTest::gmock GTest::gtest_main
                        Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${timeout})
endfunction()

# torvex_add_fuzz(NAME SOURCES... LIBS ...): a fuzz target defining LLVMFuzzerTestOneInput.
# With TORVEX_FUZZ it is a libFuzzer binary; otherwise it is linked with a replay driver that runs the
# seed corpus in tests/fuzz/corpus/NAME plus a bounded number of deterministic mutations, as a test.
function(torvex_add_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS} torvex_test_support Threads::Threads)
  if(TORVEX_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    add_test(NAME fuzz_replay.${name}
             COMMAND ${name} ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name})
    torvex_test_timeout(fuzz timeout)
    set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS fuzz TIMEOUT ${timeout})
  endif()
endfunction()

# torvex_add_bench(NAME SOURCES... LIBS ...): a Google Benchmark program (not a test).
function(torvex_add_bench name)
  if(NOT TORVEX_BENCH)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} torvex_test_support benchmark::benchmark
                        benchmark::benchmark_main Threads::Threads)
endfunction()
