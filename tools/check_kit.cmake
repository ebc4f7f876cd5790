# Shared steps of the tools' command-line checks (cmake -P scripts).

# check_run(<status> <pattern> <command>...): runs the command; its exit status must be <status>
# and its standard output and error together must match the regular expression <pattern>.
function(check_run expected_status pattern)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL expected_status)
    message(FATAL_ERROR "${ARGN}: status ${status}, expected ${expected_status}\n${output}${errors}")
  endif()
  if(NOT "${output}${errors}" MATCHES "${pattern}")
    message(FATAL_ERROR "${ARGN}: output does not match '${pattern}':\n${output}${errors}")
  endif()
endfunction()

# check_capture(<status> <command>...): runs the command; its exit status must be <status>. Its
# standard output is left in `out` and its standard error in `err` of the calling scope.
function(check_capture expected_status)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  if(NOT code STREQUAL "${expected_status}")
    message(FATAL_ERROR "${ARGN}: exit ${code}, expected ${expected_status}\n${text}${errors}")
  endif()
  set(out "${text}" PARENT_SCOPE)
  set(err "${errors}" PARENT_SCOPE)
endfunction()

# check_same(<a> <b>): the two files hold the same bytes.
function(check_same a b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${a} and ${b} differ")
  endif()
endfunction()
