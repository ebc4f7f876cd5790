# Runs one scenario with 8 bots and checks that it exits cleanly (no sanitizer report), that its
# last line matches EXPECT, that no line matches REJECT (when given) and that it wrote its plot.
#   -DSCENARIO=<ai_scenario> -DNAME=<scenario> -DEXPECT=<regex> [-DREJECT=<regex>] -DPLOT=<file.png>
file(REMOVE ${PLOT})
execute_process(COMMAND ${SCENARIO} ${NAME} --bots 8 --seconds 30 --plot ${PLOT}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
message("${output}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ai_scenario ${NAME} exited with ${status}:\n${errors}")
endif()
string(STRIP "${output}" output)
string(REGEX MATCH "[^\n]*$" last "${output}")
if(NOT last MATCHES "^${EXPECT}$")
  message(FATAL_ERROR "last line '${last}' does not match '${EXPECT}'")
endif()
if(DEFINED REJECT AND output MATCHES "${REJECT}")
  message(FATAL_ERROR "a line matches '${REJECT}'")
endif()
if(NOT EXISTS ${PLOT})
  message(FATAL_ERROR "no plot written")
endif()
