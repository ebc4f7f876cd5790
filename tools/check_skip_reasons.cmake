# scripts/skip_reasons.awk on a log as ctest writes it: each skipped test is listed once with its
# reason (several lines joined), passed and failed tests are not. Inputs: AWK, SCRIPT, WORK.
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/LastTest.log [=[
1/3 Testing: A.Skips
Output:
----------------------------------------------------------
[ RUN      ] A.Skips/Pool
/src/a_test.cpp:316: Skipped
failures are injected
into host allocations

[  SKIPPED ] A.Skips/Pool (0 ms)
[==========] 1 test from 1 test suite ran. (0 ms total)
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] A.Skips/Pool
[ RUN      ] A.Passes
[       OK ] A.Passes (0 ms)
[ RUN      ] A.Bare
/src/a_test.cpp:20: Skipped

[  SKIPPED ] A.Bare (0 ms)
[ RUN      ] A.Fails
/src/a_test.cpp:30: Failure
Skipped
[  FAILED  ] A.Fails (0 ms)
]=])
execute_process(COMMAND ${AWK} -f ${SCRIPT} ${WORK}/LastTest.log OUTPUT_VARIABLE out RESULT_VARIABLE rc)
set(expected "  A.Skips/Pool: failures are injected into host allocations\n  A.Bare: (no reason given)\n")
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "skip_reasons.awk: exit ${rc}, printed:\n${out}\nexpected:\n${expected}")
endif()
