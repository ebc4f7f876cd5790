# Runs the hide scenario at several bot counts and checks that each run exits cleanly (no sanitizer
# report) and ends with every hider out of the threat's sight.
foreach(bots IN ITEMS 8 16 32 64 200)
  execute_process(COMMAND ${SCENARIO} hide --bots ${bots} --seconds 30
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ai_scenario hide --bots ${bots} exited with ${status}:\n${errors}")
  endif()
  if(NOT output MATCHES "hidden ${bots}/${bots}")
    message(FATAL_ERROR "not every hider is hidden at ${bots} bots:\n${output}")
  endif()
  string(REGEX MATCH "hidden [0-9]+/[0-9]+" last "${output}")
  message("${bots} bots: ${last}")
endforeach()
