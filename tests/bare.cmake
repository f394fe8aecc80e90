# Every optional package hidden: what configure leaves out, the library working, KEST_REQUIRE_ALL failing.
include(${CMAKE_CURRENT_LIST_DIR}/script.cmake)
set(hidden -DKEST_HAVE_LIBFUZZER=OFF)  # clang's fuzzer runtime is found by a compile check
foreach(package CLI11 GTest Protobuf benchmark nanopb PkgConfig)
  list(APPEND hidden -DCMAKE_DISABLE_FIND_PACKAGE_${package}=ON)
endforeach()
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER}
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${hidden})
file(REMOVE_RECURSE ${WORK_DIR})

run(${configure} -B ${WORK_DIR}/build)
foreach(part tool "protoc plugin" "unit tests" "protobuf comparison" benchmark "fuzz targets")
  expect("kest: ${part} left out: [^\n]*\\(Debian: [^\n]+\\)\n")
endforeach()
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/kest_opaque_roundtrip)
run(${CMAKE_COMMAND} -DLIB=${WORK_DIR}/build/libkest.so -DHEADER=${SOURCE_DIR}/include/srg.kest.h -P ${CMAKE_CURRENT_LIST_DIR}/library.cmake)

run(FAILS ${configure} -B ${WORK_DIR}/strict -DKEST_REQUIRE_ALL=ON)
expect("kest: tool cannot be built: CLI11 not found \\(Debian: libcli11-dev\\)")

# scripts/run.sh's configure, its preset, where only what `scripts/deps.sh tool` installs is found.
list(REMOVE_ITEM hidden -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON)
run(${CMAKE_COMMAND} --preset tool -S ${SOURCE_DIR} -B ${WORK_DIR}/tool ${hidden})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/tool --target kest_cli)
run(${WORK_DIR}/tool/tools/kest sample srg_sync_msg)
expect("\"f18\": true")
