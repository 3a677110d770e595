# Each subsystem is one static library made of every .cpp in its folder, so
# adding a unit needs no edit here. A folder without sources yet becomes an
# interface library, so that its dependants still link.
set(ZC_INCLUDE_DIRS ${PROJECT_SOURCE_DIR}/source ${PROJECT_SOURCE_DIR}/source/library)

function(zc_library name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${ZC_INCLUDE_DIRS})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${ZC_INCLUDE_DIRS})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# One GoogleTest executable per test folder; every test runs in its own
# process under CTest, so process-wide state never leaks between tests.
#
#   zc_test_suite(<name> <folder> <libraries>... [TIMEOUT <seconds>]
#                 [SLOW <gtest filter> <seconds>] [THREADED <gtest filter>])
#
# Time-outs: a hanging test must fail fast, so every test gets
# ZC_TEST_TIMEOUT (60 s) unless it asks for more. A whole folder asks with
# TIMEOUT, for example
#   zc_test_suite(test_agent agent zc_agent TIMEOUT 120)
# and single tests with SLOW, a GoogleTest filter (patterns separated by
# ":") and the seconds those tests may take, for example
#   zc_test_suite(test_agent agent zc_agent SLOW "EndToEnd.*:Polling.LongHold" 240)
# Keep such time-outs generous for a loaded 2-core machine, but well below
# the 300 s that would hide a hang for five minutes.
#
# THREADED names the GoogleTest suites (patterns separated by ":", such as
# "Sync.*:Mutex.*") whose tests start threads or processes: they get the
# CTest label "threads", which the test command runs again under
# ThreadSanitizer. A new test in such a suite is labelled by itself. SLOW
# and THREADED name different tests.
set(ZC_TEST_TIMEOUT 60 CACHE STRING "Default CTest time-out of a test, in seconds")

function(zc_test_suite name dir)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "TIMEOUT;THREADED" "SLOW")
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_UNPARSED_ARGUMENTS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    ZC_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    ZC_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set(timeout ${ZC_TEST_TIMEOUT})
  if(ARG_TIMEOUT)
    set(timeout ${ARG_TIMEOUT})
  endif()
  # Disjoint discoveries: the tests that start threads, the slow tests, and
  # all the others.
  set(others "")
  if(ARG_THREADED)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${ARG_THREADED}"
      PROPERTIES TIMEOUT ${timeout} LABELS threads)
    set(others "${ARG_THREADED}")
  endif()
  if(ARG_SLOW)
    list(LENGTH ARG_SLOW count)
    if(NOT count EQUAL 2)
      message(FATAL_ERROR "zc_test_suite(${name}): SLOW takes a filter and seconds")
    endif()
    list(GET ARG_SLOW 0 slowFilter)
    list(GET ARG_SLOW 1 slowTimeout)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${slowFilter}"
      PROPERTIES TIMEOUT ${slowTimeout})
    if(others)
      set(others "${others}:${slowFilter}")
    else()
      set(others "${slowFilter}")
    endif()
  endif()
  if(others)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${others}" PROPERTIES TIMEOUT ${timeout})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${timeout})
  endif()
endfunction()
