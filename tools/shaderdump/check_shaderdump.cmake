# Runs shaderdump on descriptors given by fields and by key, and on bad command lines.
# Input: TOOL (shaderdump).

include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)

# Lights of two kinds, bones, a texture set, no fog: the layout lists every register range and
# the text ends with the texture output; it assembles.
check_run(0 "c5-c6 +directional light 0: direction, colour\n.*c7 +point group 0.*c8-c9 +point light 0.*c10-c11 +point light 1.*c12 +bones from here.*\nvs_2_0\n.*mova a0.xy, v2\n.*mov oT0.xy, v5\n; assembles"
  ${TOOL} --lights dir=1,point=2 --bones 2 --texsets 1 --fog 0 --profile vs_2_0)
# The same descriptor by its key.
check_run(0 "descriptor 0x00241021 +profile vs_1_1.*mov a0.x, v2.y\n"
  ${TOOL} 0x00241021 --profile vs_1_1)
# Exponential fog on vs_1_1 reads the factor from expp's z.
check_run(0 "c5 +fog.*expp r0.z, r0.w\nrcp oFog, r0.z\n" ${TOOL} --fog exp --profile vs_1_1)
# More lights than a small register file holds: no text, status 1.
check_run(1 "no text" ${TOOL} --lights dir=15,point=15,spot=15 --limit 96 --profile vs_1_1)
# Past vs_1_1's instruction slots: the text, then the assembler's refusal with its line.
check_run(1 "does not assemble: line [0-9]+: more than 128 instruction slots"
  ${TOOL} --lights dir=10,point=10,spot=10 --bones 4 --profile vs_1_1)
check_run(0 "usage: shaderdump" ${TOOL} --help)
check_run(2 "unknown light kind 'area'" ${TOOL} --lights area=1)
check_run(2 "bad value '9' for --bones" ${TOOL} --bones 9)
check_run(2 "bad profile 'vs_3_0'" ${TOOL} --profile vs_3_0)
check_run(2 "unknown argument '--frobnicate'" ${TOOL} --frobnicate)
check_run(2 "bad descriptor '0xZZ'" ${TOOL} 0xZZ)
