# aisdump as the README uses it: the extract folder is created (nested, when missing), the text saved
# in it packs back to the same bytes; and a bad command line or input is named.
# cmake -DGEN=... -DDUMP=... -DPACK=... -DWORK=... -P check_aisdump.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../check_kit.cmake)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
check_run(0 "" ${GEN} 7 ${WORK}/a.AIS)
execute_process(COMMAND ${DUMP} ${WORK}/a.AIS --extract ${WORK}/new/d RESULT_VARIABLE status
                OUTPUT_FILE ${WORK}/tree.txt)
if(NOT status EQUAL 0 OR NOT EXISTS ${WORK}/new/d/block-0000.bin)
  message(FATAL_ERROR "aisdump --extract into a new folder: status ${status}")
endif()
file(RENAME ${WORK}/tree.txt ${WORK}/new/d/tree.txt)
check_run(0 "" ${PACK} ${WORK}/new/d/tree.txt ${WORK}/b.AIS)
check_same(${WORK}/a.AIS ${WORK}/b.AIS)

check_run(0 "usage: aisdump FILE.AIS" ${DUMP} --help)
check_run(2 "no FILE.AIS given" ${DUMP})
check_run(2 "unknown option '--tree'" ${DUMP} ${WORK}/a.AIS --tree)
check_run(2 "--extract needs a folder" ${DUMP} ${WORK}/a.AIS --extract)
check_run(2 "one file at a time" ${DUMP} ${WORK}/a.AIS ${WORK}/b.AIS)
check_run(1 "missing.AIS" ${DUMP} ${WORK}/missing.AIS)
check_run(1 "cannot create ${WORK}/a.AIS/d" ${DUMP} ${WORK}/a.AIS --extract ${WORK}/a.AIS/d)

# The sample generator names a seed that is no number.
check_run(0 "usage: ais_sample_gen SEED OUT.AIS" ${GEN} --help)
check_run(2 "SEED '7x' is not a number" ${GEN} 7x ${WORK}/c.AIS)
