# aires on the sample texts: text -> block -> text -> block must give the same bytes and the same
# printed text; a text with an unknown record fails naming its line.
# Inputs: AIRES (executable), SOURCE (folder of the samples), WORK (scratch folder).

include(${CMAKE_CURRENT_LIST_DIR}/../../check_kit.cmake)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(name patrol mirror)
  check_run(0 "" ${AIRES} write ${SOURCE}/${name}.txt ${WORK}/${name}-1.bin)
  execute_process(COMMAND ${AIRES} print ${WORK}/${name}-1.bin OUTPUT_FILE ${WORK}/${name}-1.txt RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "aires print ${name}-1.bin failed")
  endif()
  check_run(0 "" ${AIRES} write ${WORK}/${name}-1.txt ${WORK}/${name}-2.bin)
  check_same(${WORK}/${name}-1.bin ${WORK}/${name}-2.bin)
  execute_process(COMMAND ${AIRES} print ${WORK}/${name}-2.bin OUTPUT_FILE ${WORK}/${name}-2.txt)
  check_same(${WORK}/${name}-1.txt ${WORK}/${name}-2.txt)
endforeach()
file(SIZE ${WORK}/mirror-1.bin size)
if(NOT size EQUAL 251)
  message(FATAL_ERROR "mirror block is ${size} bytes, not 31 + 4 x 3 + 4 x 52")
endif()

execute_process(COMMAND ${AIRES} write ${SOURCE}/bad.txt ${WORK}/bad.bin RESULT_VARIABLE code ERROR_VARIABLE err)
if(code EQUAL 0 OR NOT err MATCHES "bad.txt: line 3: unknown record 'wander'")
  message(FATAL_ERROR "a bad text was not refused by line: ${code} ${err}")
endif()
execute_process(COMMAND ${AIRES} print ${SOURCE}/bad.txt RESULT_VARIABLE code ERROR_VARIABLE err)
if(code EQUAL 0 OR NOT err MATCHES "no known magic")
  message(FATAL_ERROR "a text was printed as a block: ${code} ${err}")
endif()
