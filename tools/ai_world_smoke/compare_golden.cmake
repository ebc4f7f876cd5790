# cmake -DPROGRAM=... -DGOLDEN=... -DOUTPUT=... -P compare_golden.cmake
execute_process(COMMAND ${PROGRAM} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT} ${GOLDEN} RESULT_VARIABLE different)
if(NOT different EQUAL 0)
  message(FATAL_ERROR "output ${OUTPUT} differs from ${GOLDEN}")
endif()
