# Runs aisdump and aispack on generated and hand-written world files:
#   file -> text (+ block files) -> file must give the same bytes, and dumping the rebuilt
#   file must give the same text.
# Inputs: GEN, DUMP, PACK (executables), SAMPLE (hand-written text), WORK (scratch folder).

include(${CMAKE_CURRENT_LIST_DIR}/../../check_kit.cmake)

function(dump file dir)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${DUMP} ${file} --extract ${dir} OUTPUT_FILE ${dir}/tree.txt
                  RESULT_VARIABLE code ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "aisdump ${file} failed (${code}): ${err}")
  endif()
endfunction()

# file -> text -> file -> text
function(round_trip name first)
  dump(${first} ${WORK}/${name}-1)
  check_run(0 "" ${PACK} ${WORK}/${name}-1/tree.txt ${WORK}/${name}-2.AIS)
  check_same(${first} ${WORK}/${name}-2.AIS)
  dump(${WORK}/${name}-2.AIS ${WORK}/${name}-2)
  check_same(${WORK}/${name}-1/tree.txt ${WORK}/${name}-2/tree.txt)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

check_run(0 "" ${DUMP} --help)
check_run(0 "" ${PACK} --help)

foreach(seed 1 2 3 4 5 6 7 8)
  check_run(0 "" ${GEN} ${seed} ${WORK}/gen${seed}.AIS)
  round_trip(gen${seed} ${WORK}/gen${seed}.AIS)
endforeach()

# Hand-written text -> file -> text -> file.
check_run(0 "" ${PACK} ${SAMPLE} ${WORK}/sample.AIS)
round_trip(sample ${WORK}/sample.AIS)

# A block file of another size than its line says is refused, naming the text and the line.
get_filename_component(sample_dir ${SAMPLE} DIRECTORY)
file(WRITE ${WORK}/wrong-size.txt "node name=\"W\"\n  # the block file holds 36 bytes\n  raw size=5 file=\"${sample_dir}/sample_block.bin\"\n")
execute_process(COMMAND ${PACK} ${WORK}/wrong-size.txt ${WORK}/wrong-size.AIS RESULT_VARIABLE code ERROR_VARIABLE err)
if(code EQUAL 0 OR NOT err MATCHES "wrong-size.txt: line 3: .*holds 36 bytes, the line says size=5")
  message(FATAL_ERROR "aispack took a block of the wrong size (${code}): ${err}")
endif()

# A damaged file is refused.
file(WRITE ${WORK}/cut.AIS "ZUNA .AIS FILE")
execute_process(COMMAND ${DUMP} ${WORK}/cut.AIS RESULT_VARIABLE code OUTPUT_QUIET ERROR_QUIET)
if(code EQUAL 0)
  message(FATAL_ERROR "aisdump accepted a truncated file")
endif()
