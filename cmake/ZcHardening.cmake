# Two extra builds beside the plain and the address-sanitizer ones, each in
# its own build folder:
#  ZC_FUZZ  the libFuzzer targets of tests/fuzz (clang only: configure with
#           CC=clang CXX=clang++); every library is instrumented for coverage
#           and built with AddressSanitizer and UndefinedBehaviorSanitizer.
#  ZC_TSAN  ThreadSanitizer, for the tests that start threads.
option(ZC_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
option(ZC_TSAN "Build with ThreadSanitizer" OFF)
set(ZC_FUZZ_SECONDS 30 CACHE STRING "How long the test run gives each fuzz target")

if(ZC_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZC_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(ZC_SANITIZE OR ZC_TSAN)
    message(FATAL_ERROR "ZC_FUZZ brings its own sanitizers")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(ZC_TSAN)
  if(ZC_SANITIZE)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
endif()
