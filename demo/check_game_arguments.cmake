# The game's command line: --help prints the usage; "-vms" and arguments the shell does not know
# leave the game running (two headless frames in its data folder), the unknown ones named on
# standard error. Input: GAME (program), DATA (the game's data folder).
execute_process(COMMAND ${GAME} --help RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT out MATCHES "usage: dunmarrow")
  message(FATAL_ERROR "dunmarrow --help: status ${code}\n${out}\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PLATFORM_HEADLESS=1 PLATFORM_FRAMES=2 PLATFORM_FIXED_STEP=0.0166667
                        ${GAME} -vms "some file.dff" --no-such-option
                WORKING_DIRECTORY ${DATA} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT err MATCHES "some file.dff" OR NOT err MATCHES "--no-such-option" OR err MATCHES "-vms")
  message(FATAL_ERROR "dunmarrow -vms \"some file.dff\" --no-such-option: status ${code}\n${out}\n${err}")
endif()
