# Runs navquery on a generated 5 x 5 grid graph and checks its answers, output and exit status.
# Inputs: GEN (nav_sample_gen), NAVQUERY, WORK (scratch folder), MAP (a real level's grid map).
#
# Vertex v is cell (v % 5, v / 5); # marks a blocked cell. Row 2 is a wall with one gap at 12, and the
# corner 4 is walled off by 3 and 9 (the diagonal 8-4 would cut both blocked corners, so it is no edge).
#   y=4: 20 21 22 23 24
#   y=3: 15 16 17 18 19
#   y=2:  #  # 12  #  #
#   y=1:  5  6  7  8  #
#   y=0:  0  1  2  #  4
# The gap is entered from 7 and left to 17 by straight steps only (its diagonals cut blocked cells).

set(graph ${WORK}/grid.graph)

# Runs navquery with the given arguments; checks the exit status and returns standard output in `out`.
include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)
macro(run status)
  check_capture(${status} ${NAVQUERY} ${ARGN})
endmacro()

# Runs navquery with the given arguments; checks the exit status, that nothing went to standard output and
# that the message on standard error contains `message`.
function(refuse status message)
  run(${status} ${ARGN})
  string(FIND "${err}" "${message}" at)
  if(NOT out STREQUAL "" OR at LESS 0)
    message(FATAL_ERROR "navquery ${ARGN}: expected only the message \"${message}\", got:\n${out}${err}")
  endif()
endfunction()

# Runs navquery with the given arguments; checks the exit status and the whole standard output.
function(expect status output)
  run(${status} ${ARGN})
  if(NOT out STREQUAL "${output}")
    message(FATAL_ERROR "navquery ${ARGN} printed:\n${out}expected:\n${output}")
  endif()
endfunction()

# Fails unless `text` starts with `head`.
function(starts_with text head what)
  string(LENGTH "${head}" length)
  string(SUBSTRING "${text}" 0 ${length} start)
  if(NOT start STREQUAL "${head}")
    message(FATAL_ERROR "${what} printed:\n${text}expected it to start with:\n${head}")
  endif()
endfunction()

# A decimal as printed by navquery ("4.82843") as an integer in millionths (4828430).
function(millionths text result)
  if(NOT text MATCHES "^([0-9]+)(\\.([0-9]*))?$")
    message(FATAL_ERROR "not a plain decimal: ${text}")
  endif()
  string(SUBSTRING "${CMAKE_MATCH_3}000000" 0 6 fraction)
  math(EXPR value "${CMAKE_MATCH_1} * 1000000 + 1${fraction} - 1000000")
  set(${result} ${value} PARENT_SCOPE)
endfunction()

# Runs navquery with the given arguments and --tables: exit 0, the output starts with `head` and its last
# line is the table cost, with the given entry. The table keeps one byte per pair, so its cost is the A*
# cost rounded down to a whole step: entry <= cost x scale < entry + 1, printed as entry / scale.
function(expect_tables head cost entry)
  run(0 ${ARGN} --tables)
  starts_with("${out}" "${head}" "navquery ${ARGN} --tables")
  if(NOT out MATCHES "(^|\n)table cost ([0-9.]+) entry ([0-9]+) scale ([0-9.]+)\n$")
    message(FATAL_ERROR "navquery ${ARGN} --tables: no table cost last in:\n${out}")
  endif()
  set(table ${CMAKE_MATCH_2})
  set(scale ${CMAKE_MATCH_4})
  if(NOT CMAKE_MATCH_3 STREQUAL "${entry}")
    message(FATAL_ERROR "navquery ${ARGN} --tables: table entry ${CMAKE_MATCH_3}, expected ${entry}")
  endif()
  millionths(${cost} c)
  millionths(${table} t)
  millionths(${scale} s)
  # Costs are printed to 6 digits: allow 10 millionths of cost for the rounding.
  math(EXPR product "${c} * ${s}")
  math(EXPR low "${entry} * 1000000000000 - 10 * ${s}")
  math(EXPR high "(${entry} + 1) * 1000000000000 + 10 * ${s}")
  math(EXPR back "${t} * ${s}")
  math(EXPR backLow "${entry} * 1000000000000 - 10 * ${s}")
  math(EXPR backHigh "${entry} * 1000000000000 + 10 * ${s}")
  if(product LESS low OR product GREATER high OR back LESS backLow OR back GREATER backHigh)
    message(FATAL_ERROR "table cost ${table} (entry ${entry}, scale ${scale}) is not ${cost} rounded down a step")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/tables)
execute_process(COMMAND ${GEN} ${graph} 5 5  0 2  1 2  3 2  4 2  3 0  4 1 RESULT_VARIABLE code ERROR_VARIABLE err)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "nav_sample_gen failed (${code}): ${err}")
endif()

# The sample generator names the argument it cannot take.
check_run(0 "usage: nav_sample_gen OUT W H" ${GEN} --help)
check_run(2 "missing H" ${GEN} ${WORK}/g.graph 5)
check_run(2 "W 'five' is not a number from 1 to 1000" ${GEN} ${WORK}/g.graph five 5)
check_run(2 "BLOCKED_Y '5' is not a number from 0 to 4" ${GEN} ${WORK}/g.graph 5 5 0 5)

# Along the open top row: four unit steps.
expect(0 "cost 4\npath 20 21 22 23 24\n" ${graph} 20 24)
# Through the gap: diagonal 1-7, straight 7-12-17, diagonal 17-23: 2 + 2 sqrt(2) (every other way is longer).
set(gap "cost 4.82843\npath 1 7 12 17 23\n")
expect(0 "${gap}" ${graph} 1 23)
expect(0 "cost 4.82843\npath 23 17 12 7 1\n" ${graph} 23 1)
expect(0 "cost 0\npath 12\n" ${graph} 12 12)
# The walled-off corner, and a blocked cell, cannot be reached: an answer, not an error.
expect(0 "no path\n" ${graph} 0 4)
expect(0 "no path\n" ${graph} 4 0)
expect(0 "no path\n" ${graph} 0 13)

# The tables give the same routes. The longest routes cost 4 + 2 sqrt(2) (0 to 24, 0 to 20, ...), so the
# scale is 254 / (4 + 2 sqrt(2)): the gap pair reads floor(254 (2 + 2 sqrt(2)) / (4 + 2 sqrt(2))) =
# floor(254 / sqrt(2)) = 179, the top row floor(254 x 4 / (4 + 2 sqrt(2))) = floor(254 (2 - sqrt(2))) = 148,
# a longest route 254. (0 to 24 has several equal routes, so only its cost is checked.)
expect_tables("${gap}table path 1 7 12 17 23\n" 4.82843 179 ${graph} 1 23)
expect_tables("cost 4\npath 20 21 22 23 24\ntable path 20 21 22 23 24\n" 4 148 ${graph} 20 24)
expect_tables("cost 6.82843\npath " 6.82843 254 ${graph} 0 24)
expect(0 "no path\ntable no path\ntable cost unreachable\n" ${graph} 0 4 --tables)

# --save writes both tables, named after the graph file, after answering the query.
set(saved "${WORK}/tables/grid")
set(savedLine "\nsaved ${saved}.astar ${saved}.pathcost\n")
run(0 ${graph} 1 23 --save ${WORK}/tables)
starts_with("${out}" "${gap}table path 1 7 12 17 23\ntable cost " "navquery --save")
string(LENGTH "${out}" length)
string(LENGTH "${savedLine}" tail)
math(EXPR at "${length} - ${tail}")
string(SUBSTRING "${out}" ${at} -1 end)
if(NOT end STREQUAL "${savedLine}")
  message(FATAL_ERROR "navquery --save did not end with the saved line:\n${out}")
endif()
foreach(table ${saved}.astar ${saved}.pathcost)
  file(SIZE ${table} size)
  if(NOT size GREATER 0)
    message(FATAL_ERROR "${table} is empty")
  endif()
endforeach()
# A folder that does not exist yet is created; a path under a file cannot be.
run(0 ${graph} 1 23 --save ${WORK}/new/tables)
if(NOT EXISTS ${WORK}/new/tables/grid.astar OR NOT EXISTS ${WORK}/new/tables/grid.pathcost)
  message(FATAL_ERROR "navquery --save did not create the folder and write the tables")
endif()
run(3 ${graph} 1 23 --save ${graph}/under)
starts_with("${out}" "${gap}" "navquery --save under a file")

# A missing file is told from a malformed one.
refuse(1 "cannot open ${WORK}/no-such.graph" ${WORK}/no-such.graph 0 1)
file(WRITE ${WORK}/empty.graph "")
refuse(1 "neither a spatial graph file nor a grid map" ${WORK}/empty.graph 0 1)
file(WRITE ${WORK}/text.graph "Quelmor Spatial graph with text after it\n")
refuse(1 "malformed spatial graph file" ${WORK}/text.graph 0 1)

# Bad arguments name what is wrong; nothing is printed on standard output.
refuse(2 "expected FILE FROM TO, got 0 arguments")
refuse(2 "expected FILE FROM TO, got 2 arguments" ${graph} 1)
refuse(2 "unexpected argument 3" ${graph} 1 2 3)
refuse(2 "TO \"x\" is not a vertex number" ${graph} 1 x)
refuse(2 "FROM \"-1\" is not a vertex number" ${graph} -1 2)
refuse(2 "TO \"99999999999\" is not a vertex number" ${graph} 1 99999999999)
refuse(2 "TO 25 is not a vertex of the graph (it has 25" ${graph} 1 25)
refuse(2 "cells are given only on a grid map" ${graph} 1,1 2)
refuse(2 "unknown option --bogus" ${graph} 1 2 --bogus)
refuse(2 "--save needs a folder" ${graph} 1 2 --save)

run(0 --help)
starts_with("${out}" "usage: navquery FILE FROM TO" "navquery --help")

# The same grid as a map file: cells for the end points, cells in the path.
file(WRITE ${WORK}/grid.map "type octile\nheight 5\nwidth 5\nmap\n...@.\n....@\n@@.@@\n.....\n.....\n")
expect(0 "cost 4.82843\npath 1,0 2,1 2,2 2,3 3,4\n" ${WORK}/grid.map 1,0 3,4)
# Passable cells are numbered row by row: vertex 1 is cell 1,0.
expect(0 "cost 4.82843\npath 3,4 2,3 2,2 2,1 1,0\n" ${WORK}/grid.map 3,4 1)
expect(0 "no path\n" ${WORK}/grid.map 0,0 4,0)
refuse(2 "FROM cell 3,0 is not passable ('@')" ${WORK}/grid.map 3,0 4,0)
refuse(2 "TO cell 5,0 is outside the 5 x 5 map" ${WORK}/grid.map 0,0 5,0)
refuse(2 "FROM \"1:2\" is not a vertex number or a cell X,Y" ${WORK}/grid.map 1:2 0,0)
file(WRITE ${WORK}/bad.map "type octile\nheight 5\nwidth 5\nmap\n...@.\n....\n")
refuse(1 "malformed grid map, line 6: row of 4 cells, expected 5" ${WORK}/bad.map 0,0 1,0)
file(WRITE ${WORK}/bad.map "type octile\nheight 0\nwidth 5\nmap\n")
refuse(1 "malformed grid map, line 2" ${WORK}/bad.map 0,0 1,0)

# A real level, answered directly from its map (in the shared data beside the source tree; a
# checkout without it skips this part).
if(EXISTS ${MAP})
  run(0 ${MAP} 12,77 40,10)
  if(NOT out MATCHES "^cost [0-9.]+\npath 12,77 .* 40,10\n$")
    message(FATAL_ERROR "navquery on ${MAP} printed:\n${out}")
  endif()
else()
  message(STATUS "shared data not found: ${MAP}; the real-level query is skipped")
endif()
