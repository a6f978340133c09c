# transvia_subsystem(NAME SOURCES ... DEPENDS ...): one static library per subsystem.
function(transvia_subsystem name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(tv_${name} STATIC ${ARG_SOURCES})
  target_include_directories(tv_${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tv_${name} PUBLIC ${ARG_DEPENDS})
endfunction()

# transvia_test(NAME LABELS ... SOURCES ... LIBS ...): one GoogleTest executable,
# each test registered with CTest under the given labels.
function(transvia_test name)
  cmake_parse_arguments(ARG "" "" "LABELS;SOURCES;LIBS" ${ARGN})
  # Every test program loads the message table the build compiled, as the library does.
  add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/message_table_environment.cpp)
  add_dependencies(${name} transvia_messages)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tv_test_support GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    TRANSVIA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TRANSVIA_OUTPUT_DIR="${TRANSVIA_OUTPUT_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()

# transvia_fuzzer(NAME SOURCES ... LIBS ...): a libFuzzer target (Fuzz build type, clang).
function(transvia_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# transvia_bench(NAME SOURCES ... LIBS ...): a Google Benchmark program.
function(transvia_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
  target_compile_definitions(${name} PRIVATE
    TRANSVIA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TRANSVIA_OUTPUT_DIR="${TRANSVIA_OUTPUT_DIR}"
    TRANSVIA_SHARED_TESTDATA="${PROJECT_SOURCE_DIR}/../shared/testdata")
endfunction()
