# A short scripted game: twelve bots take cover, F1 calls them, and they all come near the player
# without shoving him or the crates by him across the floor, none inside a crate; the trace holds a
# header and one line per frame, the plot is written. Then the most bots the
# game holds all start on the floor, with more reachable cover places than bots, and one more is
# refused with a message and status 1; bots sent off the level give status 3. Then the scripts.
# Input: DEMO_CHECK (program), DATA (the game's data folder, beside its bin/), WORK (scratch
# folder), SCRIPTS (the scripts' folder), GAME (the game's program).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --bots 12 --frames 900 --press F1@420
                        --trace ${WORK}/trace.csv --plot ${WORK}/plot.png
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "demo_check: status ${code}\n${out}\n${err}")
endif()
if(NOT out MATCHES "lost: 0/12 at cover, 0/12 at the end\ntake cover: hidden 1[12]/12\ncome to me: near 12/12\n$")
  message(FATAL_ERROR "demo_check's report:\n${out}")
endif()
# Bots that came on until they saw the player walked into the crates by him (which hide him from
# close by) and pushed them, and him, across the floor.
if(NOT out MATCHES "pushed: crate 0\\.[0-4][0-9] m, ball [0-9.]+ m, the player 0\\.0[0-9] m; inside a body: 0 at the end, at most 0\n")
  message(FATAL_ERROR "the team pushed the crates or the player:\n${out}")
endif()
file(STRINGS ${WORK}/trace.csv lines)
list(LENGTH lines count)
list(GET lines 0 header)
list(GET lines 900 last)
if(NOT count EQUAL 901 OR NOT header MATCHES "^frame,mode,hidden,x0,.*,visible11$" OR NOT last MATCHES "^900,0,")
  message(FATAL_ERROR "trace: ${count} lines, header '${header}', last '${last}'")
endif()
if(NOT EXISTS ${WORK}/plot.png)
  message(FATAL_ERROR "no plot written")
endif()
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --bots 104 --frames 20
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT out MATCHES "bots: 104,.*lost: 0/104 at cover, 0/104 at the end")
  message(FATAL_ERROR "demo_check --bots 104: status ${code}\n${out}\n${err}")
endif()
# The level hides a place for each of them and a tenth more, every one reachable along the graph.
if(NOT out MATCHES "cover places: [0-9]+ of the graph's [0-9]+ vertices, from the player's start; ([0-9]+) reachable"
   OR CMAKE_MATCH_1 LESS 115)
  message(FATAL_ERROR "fewer than 115 reachable cover places for 104 bots:\n${out}")
endif()
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --bots 105 --frames 20
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 1 OR NOT err MATCHES "at most 104 bots, not 105")
  message(FATAL_ERROR "demo_check --bots 105: status ${code}, expected 1 and the limit named\n${out}\n${err}")
endif()
# The player started in the north-east, where the bots' graph does not go: a walk on the floor
# leads there, the graph's nearest vertex lies beyond its reach. Inside a block no walk leads;
# called and sent back, the team ends in cover. Off the level the game starts no one.
# --vertices lists the graph.
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --bots 1 --frames 2 --player 8,16
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT out MATCHES "place: the player at \\(8\\.00, 16\\.00\\) in frame 2; on foot from the team's start: yes; the graph's nearest vertex ([0-9.]+) m off, its reach ([0-9.]+) m\n"
  )
  message(FATAL_ERROR "demo_check --player 8,16: status ${code}\n${out}\n${err}")
endif()
# Both in metres with two decimals: compared in centimetres.
string(REPLACE "." "" nearest "${CMAKE_MATCH_1}")
string(REPLACE "." "" reach "${CMAKE_MATCH_2}")
if(NOT nearest GREATER reach)
  message(FATAL_ERROR "demo_check --player 8,16: the graph's nearest vertex is within its reach\n${out}")
endif()
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --bots 1 --frames 4 --player -10,-13 --press F1@1 --press F1@2
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT out MATCHES "on foot from the team's start: no;.*take cover at the end: hidden [01]/1, near [01]/1\n$")
  message(FATAL_ERROR "demo_check --player -10,-13 (inside a block), F1 twice: status ${code}\n${out}\n${err}")
endif()
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --bots 1 --frames 2 --player 500,500
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 2 OR NOT err MATCHES "bad --player '500,500': .* no floor within 1.5 m below it")
  message(FATAL_ERROR "demo_check --player 500,500 (off the level): status ${code}, expected 2\n${out}\n${err}")
endif()
execute_process(COMMAND ${DEMO_CHECK} --data ${DATA} --vertices
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT out MATCHES "^vertex 0: [-0-9.]+ [-0-9.]+ [-0-9.]+\nvertex 1: " OR out MATCHES "come to me")
  message(FATAL_ERROR "demo_check --vertices: status ${code}\n${out}\n${err}")
endif()
# A teleporter under the bots' start that sends them off the level: the report is printed as
# ever, and the status says bots were lost.
file(COPY ${DATA}/ DESTINATION ${WORK}/lost)
file(READ ${WORK}/lost/config.xml text)
string(REGEX REPLACE "<Teleporter [^>]*>"
       "<Teleporter p1x=\"-15\" p1y=\"0\" p1z=\"-8\" p2x=\"300\" p2y=\"0\" p2z=\"300\"/>" text "${text}")
file(WRITE ${WORK}/lost/config.xml "${text}")
execute_process(COMMAND ${DEMO_CHECK} --data ${WORK}/lost --frames 60
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 3 OR NOT out MATCHES "lost: [1-8]/8 at cover, [1-8]/8 at the end\n" OR NOT err MATCHES "bots were lost")
  message(FATAL_ERROR "demo_check with bots lost: status ${code}, expected 3\n${out}\n${err}")
endif()
# The sweeps find demo_check in scripts/demo.sh's build (DUN_DEMO_BUILD_DIR, here this one), the
# bot sweep prints each count's line as its run ends, the largest first; without a build, say so.
get_filename_component(build ${DATA} DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env DUN_DEMO_BUILD_DIR=${build}
                        ${SCRIPTS}/bot_sweep.sh --from 1 --to 2 --frames 3 --press 1 --jobs 1
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 1 OR NOT out MATCHES "^bots 2: [^\n]* short\nbots 1: [^\n]* short\ncounts short: 2 of 2 \\(1 2\\)\n$")
  message(FATAL_ERROR "bot_sweep.sh: status ${code}, expected 1\n${out}\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env DUN_DEMO_BUILD_DIR=${WORK}/none ${SCRIPTS}/place_sweep.sh
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 2 OR NOT err MATCHES "no build in [^\n]*/none \\(run [^ ]*/scripts/demo.sh first")
  message(FATAL_ERROR "place_sweep.sh without a build: status ${code}, expected 2\n${err}")
endif()
# scripts/demo.sh, its package, configure and build steps passed over, without a display: the
# game on data it cannot read writes no capture, and its status is the script's; --help gives the
# script's help and the game's and writes nothing (the stub mkasset would make the data folder).
file(MAKE_DIRECTORY ${WORK}/stubs ${WORK}/demo/bin)
foreach(stub stubs/cmake stubs/ninja stubs/dpkg-query demo/bin/mkasset)
  file(WRITE ${WORK}/${stub} "#!/bin/sh\necho 'install ok installed'\n[ \"$2\" != --out ] || mkdir -p \"$3\"\n")
  file(CHMOD ${WORK}/${stub} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
file(CREATE_LINK ${GAME} ${WORK}/demo/bin/dunmarrow SYMBOLIC)
foreach(help "" --help)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                          "PATH=${WORK}/stubs:$ENV{PATH}" DUN_DEMO_BUILD_DIR=${WORK}/demo ${SCRIPTS}/demo.sh ${help}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(help AND (NOT code EQUAL 0 OR NOT out MATCHES "^Builds the programs.*usage: dunmarrow" OR NOT err STREQUAL ""
               OR EXISTS ${WORK}/demo/demo_data))
    message(FATAL_ERROR "scripts/demo.sh --help: status ${code}, expected 0 and nothing written\n${out}\n${err}")
  elseif(NOT help AND (NOT code EQUAL 1 OR NOT err MATCHES "no capture" OR err MATCHES "ls:"))
    message(FATAL_ERROR "scripts/demo.sh on no data: status ${code}, expected the game's 1\n${out}\n${err}")
  endif()
  file(REMOVE_RECURSE ${WORK}/demo/demo_data)
endforeach()
file(REMOVE_RECURSE ${WORK})
