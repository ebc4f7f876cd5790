# Runs physics_sim's scenes and bad arguments; checks the closed-form deviation, the files and
# the exit status. Inputs: TOOL (physics_sim), WORK (scratch folder).

file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)
macro(run status)
  check_capture(${status} ${TOOL} ${ARGN})
endmacro()

# The largest relative deviation line, as a number below the bound.
function(expect_deviation_below bound)
  string(REGEX MATCH "largest relative deviation from the closed form: ([0-9.e+-]+)" line "${out}")
  if(NOT line)
    message(FATAL_ERROR "no deviation line in:\n${out}")
  endif()
  set(value "${CMAKE_MATCH_1}")
  # CMake compares decimals only: a value written with an exponent must have a negative one.
  if(value MATCHES "e-([0-9]+)$")
    if(CMAKE_MATCH_1 LESS ${bound})
      message(FATAL_ERROR "deviation ${value} not below 1e-${bound}")
    endif()
  elseif(NOT value EQUAL 0)
    message(FATAL_ERROR "deviation ${value} not below 1e-${bound}")
  endif()
endfunction()

function(expect_file path)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "${path} was not written")
  endif()
  file(SIZE ${path} size)
  if(size LESS 100)
    message(FATAL_ERROR "${path} is too small (${size} bytes)")
  endif()
endfunction()

run(0 --scene freefall --steps 100 --csv ${WORK}/freefall.csv --plot ${WORK}/freefall.png)
expect_deviation_below(5)
expect_file(${WORK}/freefall.csv)
expect_file(${WORK}/freefall.png)
string(FIND "${out}" "\n100 1.0000 " last)
if(last LESS 0)
  message(FATAL_ERROR "no row for step 100 at t = 1 s")
endif()

run(0 --scene spin --steps 1000 --plot ${WORK}/spin.png)
expect_deviation_below(5)
expect_file(${WORK}/spin.png)

run(0 --scene box-on-floor)
string(REGEX MATCHALL "point [1-4]: \\([-0-9.]+, -?0\\.0000, [-0-9.]+\\) separation -?0\\.000000" points "${out}")
list(LENGTH points n)
if(NOT n EQUAL 4 OR NOT out MATCHES "records: 1\n" OR NOT out MATCHES "record: 4 points, normal \\(0, 1, 0\\) towards the box")
  message(FATAL_ERROR "box-on-floor: not one record of 4 points on the floor with normal (0, 1, 0):\n${out}")
endif()

run(0 --scene contacts --csv ${WORK}/contacts.csv)
expect_file(${WORK}/contacts.csv)
if(NOT out MATCHES "box on box: touching in [1-9][0-9]* of 81 steps" OR
   NOT out MATCHES "box on triangle list: touching in [1-9][0-9]* of 81 steps")
  message(FATAL_ERROR "contacts: no box-on-box line:\n${out}")
endif()

# Every behaviour scene holds its checks: each prints ok lines and no off line.
foreach(scene rest-sphere rest-box bounce incline stack pyramid pendulum hinge lift rock collide)
  run(0 --scene ${scene})
  if(NOT out MATCHES ": ok\n" OR out MATCHES ": off\n")
    message(FATAL_ERROR "${scene}: a check is off:\n${out}")
  endif()
endforeach()
run(0 --scene stack --plot ${WORK}/stack.png)
expect_file(${WORK}/stack.png)

run(0 --help)
run(2 --scene nothing)
string(FIND "${err}" "'nothing'" at)
if(at LESS 0)
  message(FATAL_ERROR "the unknown scene is not named: ${err}")
endif()
run(2 --scene freefall --steps 0)
run(2 --scene freefall --dt -1)
run(2 --scene freefall --csv ${WORK}/no/such/folder/x.csv)
