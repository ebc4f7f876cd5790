# Every tool's command line: --help prints the usage on standard output with status 0; an
# unknown option ends with status 2 and a message that names it (or, for tools that take a fixed
# number of arguments, says how many it got). Input: TOOLS, a list of program paths.
foreach(tool IN LISTS TOOLS)
  get_filename_component(name ${tool} NAME)
  execute_process(COMMAND ${tool} --help RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL 0 OR NOT out MATCHES "usage")
    message(SEND_ERROR "${name} --help: status ${code}, stdout:\n${out}\nstderr:\n${err}")
  endif()
  execute_process(COMMAND ${tool} --no-such-option RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL 2 OR NOT err MATCHES "${name}: .*(--no-such-option|argument|missing)")
    message(SEND_ERROR "${name} --no-such-option: status ${code}, expected 2 and a message naming it; stderr:\n${err}")
  endif()
endforeach()
