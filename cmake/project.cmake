# Shared build settings and helper functions for every area of the project.

add_compile_options(-Wall -Wextra -ffp-contract=off)
# GCC 12 at -O2 reports -Wrestrict inside the standard library's own string concatenation
# ("text" + std::string&&), an overlap no call can make; later compilers no longer report it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
include_directories(${PROJECT_SOURCE_DIR})

if(DUN_SANITIZE)
  # The sanitizer build is the test build: -O1 with line tables only compiles in less than half
  # the time of -O2 with full debug information (the largest sources: 68 s -> 27 s of one core),
  # and a sanitizer report still names every file and line of its stack. Later options win over
  # the build type's -O2 -g.
  add_compile_options(-O1 -g1)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(DUN_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(DUN_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()

# dun_link_whole(<target> <PUBLIC|PRIVATE|INTERFACE> <lib>...)
# Links libraries whose object files register classes at start-up: nothing references
# those objects by symbol, so the whole archive is kept. Always link such a library
# through this function, so that every consumer names it with the same link feature.
# List dependents before what they depend on (`testkit ai_navigation ai_runtime`): a library
# named before one that links it would land on the link line twice and be linked twice.
function(dun_link_whole target scope)
  foreach(lib IN LISTS ARGN)
    target_link_libraries(${target} ${scope} "$<LINK_LIBRARY:WHOLE_ARCHIVE,${lib}>")
  endforeach()
endfunction()

# dun_add_tests(<name> LABEL <label>... SOURCES <src>... [LIBS <lib>...] [WHOLE <lib>...])
# One GoogleTest executable per area; every test in it carries the area's ctest label, and any
# further label given (`tools` for the tests of a tool).
# Sanitizer settings of every test: leaks fail, a report prints its stack and stops the test.
set(DUN_SANITIZER_ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")

function(dun_add_tests name)
  if(NOT DUN_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "LABEL;SOURCES;LIBS;WHOLE" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(T_WHOLE)
    dun_link_whole(${name} PRIVATE ${T_WHOLE})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  # Lists do not pass through the discovery's properties (the second label or environment entry
  # was dropped): the labels and the sanitizer settings are set on the discovered tests by a
  # script that ctest reads after the discovery's own.
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
  file(WRITE ${script}
       "foreach(test IN LISTS ${name}_TESTS)\n"
       "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${T_LABEL}\"\n"
       "    ENVIRONMENT \"${DUN_SANITIZER_ENVIRONMENT}\")\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# dun_add_benchmark(<name> SOURCES <src>... [LIBS <lib>...] [WHOLE <lib>...])
function(dun_add_benchmark name)
  if(NOT DUN_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;WHOLE" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  if(B_WHOLE)
    dun_link_whole(${name} PRIVATE ${B_WHOLE})
  endif()
endfunction()

# Shared data (maps, samples) beside the source tree; a checkout elsewhere names it here.
set(DUN_SHARED_DIR "${PROJECT_SOURCE_DIR}/../shared" CACHE PATH "Folder of the project's shared data")

# Fuzz harnesses. With DUN_FUZZ (clang only; scripts/fuzz.sh sets it up in build-fuzz/) every
# object file carries libFuzzer's coverage instrumentation and each harness becomes a libFuzzer
# program fuzz_<name>. Otherwise, in builds with tests, each harness is linked with a replay
# main and becomes the ctest fuzz_<name>, which feeds it every file of fuzz/corpus/<name>/ and
# fuzz/regressions/<name>/ under the sanitizers.
if(DUN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DUN_FUZZ needs clang (scripts/fuzz.sh configures it)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Largest single allocation a harness may make: more is a finding (an allocation out of
# proportion to an input of a few kilobytes). The replay tests and scripts/fuzz.sh use it.
set(DUN_FUZZ_MALLOC_LIMIT_MB 256)

# dun_add_fuzz(<name> SOURCES <src>... [LIBS <lib>...] [WHOLE <lib>...] [LABEL <area label>])
# One harness: <src> defines LLVMFuzzerTestOneInput. Called from fuzz/CMakeLists.txt; the seed
# corpus lives in fuzz/corpus/<name>/, reproducers in fuzz/regressions/<name>/, an optional
# dictionary in fuzz/dict/<name>.dict. The replay test carries the label "fuzz" and LABEL.
function(dun_add_fuzz name)
  cmake_parse_arguments(F "" "LABEL" "SOURCES;LIBS;WHOLE" ${ARGN})
  set(target fuzz_${name})
  if(DUN_FUZZ)
    add_executable(${target} ${F_SOURCES})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  elseif(DUN_TESTS)
    add_executable(${target} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME ${target}
      COMMAND ${target} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name} ${PROJECT_SOURCE_DIR}/fuzz/regressions/${name})
    set_tests_properties(${target} PROPERTIES
      LABELS "fuzz;${F_LABEL}"
      ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:max_allocation_size_mb=${DUN_FUZZ_MALLOC_LIMIT_MB}:allocator_may_return_null=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  else()
    return()
  endif()
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  if(F_WHOLE)
    dun_link_whole(${target} PRIVATE ${F_WHOLE})
  endif()
endfunction()
