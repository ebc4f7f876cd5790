# Runs the default hide scenario and checks that it exits cleanly (no sanitizer report) and that
# every hider ended out of the threat's sight.
execute_process(COMMAND ${SCENARIO} hide --bots 8 --seconds 30
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
message("${output}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ai_scenario exited with ${status}:\n${errors}")
endif()
if(NOT output MATCHES "hidden 8/8")
  message(FATAL_ERROR "not every hider is hidden")
endif()
