# cmake -DPROTOC=... -DPLUGIN=... -DSOURCE_DIR=... -DWORK_DIR=... -P generated.cmake
# libkest's records, field lists and operations are what protoc-gen-kest writes from
# proto/srg.proto, byte for byte, and nothing else is in srg/ (scripts/generate.sh
# writes them).
include(${CMAKE_CURRENT_LIST_DIR}/script.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${PROTOC} --plugin=protoc-gen-kest=${PLUGIN} --kest_out=${WORK_DIR} --kest_opt=prefix=kest_,split
  -I ${SOURCE_DIR}/proto ${SOURCE_DIR}/proto/srg.proto)
file(GLOB made RELATIVE ${WORK_DIR} ${WORK_DIR}/*)
file(GLOB kept RELATIVE ${SOURCE_DIR}/srg ${SOURCE_DIR}/srg/*)
list(APPEND kept srg.kest.h)
list(SORT made)
list(SORT kept)
if(NOT made STREQUAL kept)
  message(FATAL_ERROR "generated: ${made}\nchecked in: ${kept}")
endif()
foreach(f IN LISTS made)
  set(checked_in ${SOURCE_DIR}/srg/${f})
  if(f STREQUAL srg.kest.h)
    set(checked_in ${SOURCE_DIR}/include/${f})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${f} ${checked_in} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${checked_in} is not what protoc-gen-kest writes: run scripts/generate.sh")
  endif()
endforeach()
