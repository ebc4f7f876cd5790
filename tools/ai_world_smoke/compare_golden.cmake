# cmake -DPROGRAM=... -DGOLDEN=... -DOUTPUT=... -P compare_golden.cmake
# Runs the program, compares its output with the golden file, and checks its command line.
execute_process(COMMAND ${PROGRAM} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT} ${GOLDEN} RESULT_VARIABLE different)
if(NOT different EQUAL 0)
  message(FATAL_ERROR "output ${OUTPUT} differs from ${GOLDEN}")
endif()

# The program takes no arguments but --help; anything else is refused by name.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT help MATCHES "^usage: ai_world_smoke")
  message(FATAL_ERROR "${PROGRAM} --help exited with ${result}:\n${help}")
endif()
execute_process(COMMAND ${PROGRAM} --frames 10 OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 2 OR NOT errors MATCHES "unknown argument '--frames'" OR NOT output STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --frames 10 exited with ${result}:\n${output}${errors}")
endif()
