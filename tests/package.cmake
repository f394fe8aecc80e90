# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P package.cmake
# Installs into a scratch prefix, builds examples/consumer against it (C through
# pkg-config, C++ through find_package), runs it and the installed tool.
function(run)  # runs ARGN, fails on a non-zero exit, leaves the output in `out`
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
function(expect pattern)
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "expected '${pattern}' in:\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer_c)
expect("^C consumer: ok")
run(${WORK_DIR}/build/consumer_cpp)
expect("^C\\+\\+ consumer: ok")
if(TOOL)
  run(${WORK_DIR}/prefix/bin/kest sample srg_opaque)  # finds the library beside it
  expect("\"f3\": \"6b6573742d6633\"")
endif()
