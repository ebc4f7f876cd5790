# Runs navgen on two_rooms and queries the graph it writes with navquery; checks navgen's argument errors.
# Inputs: NAVGEN, NAVQUERY, WORK (scratch folder).

file(REMOVE_RECURSE ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)
macro(run status)
  check_capture(${status} ${ARGN})
endmacro()

# Bad arguments are named with status 2, and nothing is written.
function(refuse message)
  run(2 ${NAVGEN} ${ARGN})
  string(FIND "${err}" "${message}" at)
  if(at LESS 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "navgen ${ARGN}: expected only the message \"${message}\", got:\n${out}${err}")
  endif()
endfunction()

refuse("--level, --seed and --out are required" --level two_rooms --seed 1)
refuse("--level attic is not one of open_room, two_rooms, pit, maze" --level attic --seed 1 --out ${WORK}/x)
refuse("--seed -3 is not an integer" --level maze --seed -3 --out ${WORK}/x)
refuse("--first-step LATER is not" --level maze --seed 1 --out ${WORK}/x --first-step LATER)
refuse("--first-step SIMPLIFY_EDGES reads ${WORK}/x/dense_edges.graph, which does not exist"
       --level maze --seed 1 --out ${WORK}/x --first-step SIMPLIFY_EDGES)
refuse("--radius 0 is not a number of metres" --level maze --seed 1 --out ${WORK}/x --radius 0)
refuse("unknown argument --fast" --level maze --seed 1 --out ${WORK}/x --fast)
refuse("--out needs a value" --level maze --seed 1 --out)
if(EXISTS ${WORK}/x)
  message(FATAL_ERROR "navgen created its folder although the arguments were refused")
endif()
run(0 ${NAVGEN} --help)
if(NOT out MATCHES "^usage: navgen --level NAME --seed S --out DIR")
  message(FATAL_ERROR "navgen --help printed:\n${out}")
endif()

# A run creates its folder and writes every file; the last line is the summary.
set(dir ${WORK}/two_rooms)
run(0 ${NAVGEN} --level two_rooms --seed 1 --out ${dir})
if(NOT out MATCHES "phase 1: sim=[0-9.]+s wall=[0-9.]+s frames=[0-9]+ queries=[0-9]+\n"
   OR NOT out MATCHES "\nV=([0-9]+) E=([0-9]+) sim=[0-9.]+s wall=[0-9.]+s queries=[0-9]+\n$")
  message(FATAL_ERROR "navgen printed:\n${out}")
endif()
set(vertices ${CMAKE_MATCH_1})
foreach(name dense.graph dense_edges.graph final.graph final.fnd final.astar final.pcost final.aw level.txt)
  if(NOT EXISTS ${dir}/${name})
    message(FATAL_ERROR "navgen did not write ${name}")
  endif()
endforeach()
file(STRINGS ${dir}/level.txt boxes)
foreach(line ${boxes})
  if(NOT line MATCHES "^box -?[0-9.]+ -?[0-9.]+ -?[0-9.]+ -?[0-9.]+ -?[0-9.]+ -?[0-9.]+$")
    message(FATAL_ERROR "level.txt line: ${line}")
  endif()
endforeach()

# navquery finds a route from vertex 0 to every other vertex of the final graph (both rooms).
math(EXPR last "${vertices} - 1")
foreach(v RANGE 1 ${last})
  run(0 ${NAVQUERY} ${dir}/final.graph 0 ${v})
  if(NOT out MATCHES "^cost [0-9.]+\npath 0 ")
    message(FATAL_ERROR "navquery final.graph 0 ${v} printed:\n${out}")
  endif()
endforeach()
