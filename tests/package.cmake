# The installed tree and the unpacked Debian packages as other projects use them: examples, tool, README's commands.
include(${CMAKE_CURRENT_LIST_DIR}/script.cmake)
file(REMOVE_RECURSE ${WORK_DIR} ${BUILD_DIR}/packages)

file(MAKE_DIRECTORY ${WORK_DIR}/root)
run(dpkg --print-architecture)
string(STRIP "${out}" arch)
run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake)
# package, what its Depends and Recommends must be
set(packages libkest0 "^Depends: libc6 [^\n]*$" libkest-dev "^Depends: libkest0 \\(= ${VERSION}\\)$")
if(TOOL)
  list(APPEND packages kest-tools "^Depends: libkest0 \\(= ${VERSION}\\)[^\n]*libstdc\\+\\+6[^\n]*$")
endif()
if(PLUGIN)
  list(APPEND packages protoc-gen-kest
    "^Depends: libkest-dev \\(= ${VERSION}\\)[^\n]*libprotoc32[^\n]*\nRecommends: protobuf-compiler$")
endif()
while(packages)
  list(POP_FRONT packages package depends)
  set(deb ${BUILD_DIR}/packages/${package}_${VERSION}_${arch}.deb)
  run(dpkg-deb --field ${deb} Depends Recommends)
  string(STRIP "${out}" out)
  expect("${depends}")
  run(dpkg-deb --extract ${deb} ${WORK_DIR}/root)
  if(LINTIAN)
    run(${LINTIAN} --fail-on error ${deb})
    if(out)
      message(STATUS "lintian ${package}:\n${out}")
    endif()
  endif()
endwhile()
file(GLOB library ${WORK_DIR}/root/usr/lib/*/libkest.so.${VERSION})  # lintian checks it is stripped
get_filename_component(libdir "${library}" DIRECTORY)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
foreach(prefix ${WORK_DIR}/prefix ${WORK_DIR}/root/usr)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${prefix}-consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  run(${CMAKE_COMMAND} --build ${prefix}-consumer)
  run(${prefix}-consumer/consumer_c)
  expect("^C consumer: ok \\(kest ${VERSION}\\)")
  run(${prefix}-consumer/consumer_cpp)
  expect("^C\\+\\+ consumer: ok")
  if(PLUGIN)  # codecs of a .proto of its own, against protobuf's
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/own_proto -B ${prefix}-own -G ${GENERATOR}
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wpedantic -Werror")
    run(${CMAKE_COMMAND} --build ${prefix}-own)
    run(${prefix}-own/roundtrip)
    expect("^own_proto: ok")
  endif()
endforeach()
if(TOOL)
  run(${WORK_DIR}/prefix/bin/kest sample srg_opaque)  # finds the library beside it
  expect("\"f3\": \"6b6573742d6633\"")
  # From the package, the loader's search path finds it, as /usr/lib/<arch> would.
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/root/usr/bin/kest sample srg_opaque)
  expect("\"f3\": \"6b6573742d6633\"")
endif()

# The README's three commands for a .proto of one's own, as written there, against the prefix.
if(PLUGIN)
  file(GLOB_RECURSE pc ${WORK_DIR}/prefix/kest.pc)
  get_filename_component(pc_dir "${pc}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  set(ENV{PATH} "${WORK_DIR}/prefix/bin:$ENV{PATH}")  # protoc finds the plugin there
  file(COPY ${SOURCE_DIR}/examples/own_proto/telemetry.proto ${SOURCE_DIR}/examples/consumer/app.c
    DESTINATION ${WORK_DIR}/app)
  file(STRINGS ${SOURCE_DIR}/README.md commands REGEX "^    (protoc --kest_out|c\\+\\+ |cc )")
  foreach(command IN LISTS commands)
    run(${CMAKE_COMMAND} -E chdir ${WORK_DIR}/app sh -c "${command}")
  endforeach()
  run(${WORK_DIR}/app/app)
  expect("^app: ok")
endif()
