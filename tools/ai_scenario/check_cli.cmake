# The command line of ai_scenario: help with the limits, messages that name what was wrong, and an
# unwritable output refused before the run.
include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)
macro(run expected_status pattern)
  check_run(${expected_status} "${pattern}" ${SCENARIO} ${ARGN})
endmacro()

run(0 "--bots N +bots, 1 to 200" --help)
run(0 "--seconds T .*at most 3600" goto --help)
run(2 "--bots 201 is out of range: a whole number from 1 to 200" hide --bots 201)
run(2 "--bots 2.5 is out of range" wander --bots 2.5)
run(2 "--seconds 0 is out of range: above 0 and at most 3600" flee --seconds 0)
run(2 "--bots 1 is out of range for shoot: a whole number from 2 to 200" shoot --bots 1)
run(2 "--seed -1 is out of range" goto --seed -1)
run(2 "--bots 'many' is not a number" goto --bots many)
run(2 "--plot needs a value" goto --plot)
run(2 "unknown option '--fast'" goto --fast)
run(2 "unknown scenario 'run'" run)
# Refused at once: a run of an hour would otherwise come first.
run(1 "cannot write ${WORK}/missing/plot.png" goto --seconds 3600 --plot ${WORK}/missing/plot.png)
run(1 "cannot write ${WORK}/missing/trace.csv" hide --seconds 3600 --csv ${WORK}/missing/trace.csv)
