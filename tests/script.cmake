# What the tests written as CMake scripts share.
# run([FAILS] command...): runs the command, which must succeed (or, with FAILS, fail),
# and leaves its output in `out`.
function(run)
  cmake_parse_arguments(PARSE_ARGV 0 arg FAILS "" "")
  execute_process(COMMAND ${arg_UNPARSED_ARGUMENTS} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if((arg_FAILS AND rc EQUAL 0) OR (NOT arg_FAILS AND NOT rc EQUAL 0))
    message(FATAL_ERROR "${arg_UNPARSED_ARGUMENTS}\nexited with ${rc}:\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
function(expect pattern)
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "expected '${pattern}' in:\n${out}")
  endif()
endfunction()
