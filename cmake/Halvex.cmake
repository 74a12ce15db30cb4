# Helpers shared by the subsystems' build files.

# halvex_add_test(NAME SOURCES... LIBS lib...)
# One GoogleTest executable, registered with CTest test by test.
include(GoogleTest)
find_package(GTest REQUIRED)

function(halvex_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()
