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
function(zc_test_suite name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    ZC_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    ZC_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
