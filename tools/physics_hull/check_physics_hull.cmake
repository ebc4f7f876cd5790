# Runs physics_hull on the cube, on point files and on bad input; checks output and exit status.
# Inputs: TOOL (physics_hull), WORK (scratch folder).

file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)
macro(run status)
  check_capture(${status} ${TOOL} ${ARGN})
endmacro()

function(expect_out want)
  if(NOT out STREQUAL "${want}\n")
    message(FATAL_ERROR "expected '${want}', got '${out}'")
  endif()
endfunction()

function(expect_err want)
  string(FIND "${err}" "${want}" at)
  if(at LESS 0)
    message(FATAL_ERROR "expected '${want}' on standard error, got '${err}'")
  endif()
endfunction()

run(0 --cube)
expect_out("V=8 F=6 E=24 volume=1 inertia=0.166667 thickness=1")

# A 2 x 4 x 6 box with points on its faces, a comment, commas and CR-LF: merged to 6 faces.
set(box "# box\r\n")
foreach(x -1 0 1)
  foreach(y -2 0 2)
    foreach(z -3 3)
      string(APPEND box "${x}, ${y}\t${z}\r\n")
    endforeach()
  endforeach()
endforeach()
string(APPEND box "\n1 2 -3\n")
file(WRITE ${WORK}/box.txt "${box}")
run(0 --points ${WORK}/box.txt)
expect_out("V=8 F=6 E=24 volume=48 inertia=4.33333,3.33333,1.66667 thickness=2")

# A corner tetrahedron of side 2 mm: its moments and its width along (1, 1, 1) scale with it.
file(WRITE ${WORK}/small.txt "0 0 0\n0.002 0 0\n0 0.002 0\n0 0 0.002\n")
run(0 --points ${WORK}/small.txt)
expect_out("V=4 F=4 E=12 volume=1.33333e-09 inertia=2.5e-07,4e-07,2.5e-07 thickness=0.0011547")

file(WRITE ${WORK}/bad.txt "0 0 0\n1 0 0\n\n0 1 zero\n")
run(2 --points ${WORK}/bad.txt)
expect_err("bad.txt:4: not a number: 'zero'")
file(WRITE ${WORK}/short.txt "0 0 0\n1 0\n")
run(2 --points ${WORK}/short.txt)
expect_err("short.txt:2: expected three numbers")
file(WRITE ${WORK}/flat.txt "0 0 0\n1 0 0\n0 1 0\n1 1 0\n")
run(1 --points ${WORK}/flat.txt)
expect_err("flat.txt: no hull of 4 points")
run(2 --points ${WORK}/missing.txt)
expect_err("missing.txt: cannot open")
run(2 --cubes)
expect_err("unknown argument '--cubes'")
run(0 --help)
string(FIND "${out}" "usage: physics_hull" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "--help: '${out}'")
endif()
