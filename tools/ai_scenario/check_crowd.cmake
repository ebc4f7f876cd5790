# Runs one scenario with many bots under several seeds: every run must end (within TIMEOUT seconds of
# wall time) with status 0 and a last line that matches FORM, in which @N@ stands for the bot count.
#   -DSCENARIO=<ai_scenario> -DNAME=<scenario> -DRUNS=<bots/seed;...> -DFORM=<regex> -DTIMEOUT=<seconds>
foreach(run IN LISTS RUNS)
  string(REPLACE "/" ";" parts "${run}")
  list(GET parts 0 bots)
  list(GET parts 1 seed)
  execute_process(COMMAND ${SCENARIO} ${NAME} --bots ${bots} --seed ${seed} --seconds 30
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT ${TIMEOUT})
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ai_scenario ${NAME} --bots ${bots} --seed ${seed}: status ${status}\n${errors}")
  endif()
  string(STRIP "${output}" output)
  string(REGEX MATCH "[^\n]*$" last "${output}")
  string(REPLACE "@N@" "${bots}" form "${FORM}")
  if(NOT last MATCHES "^${form}$")
    message(FATAL_ERROR "ai_scenario ${NAME} --bots ${bots} --seed ${seed}: last line '${last}' is not '${form}'")
  endif()
  message("${NAME} --bots ${bots} --seed ${seed}: ${last}")
endforeach()
