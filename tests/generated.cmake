# srg/ holds exactly what protoc-gen-kest writes from proto/srg.proto (scripts/generate.sh).
include(${CMAKE_CURRENT_LIST_DIR}/script.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/made)
run(${PROTOC} --plugin=protoc-gen-kest=${PLUGIN} --kest_out=${WORK_DIR}/made --kest_opt=prefix=kest_,split,speed
  -I ${SOURCE_DIR}/proto ${SOURCE_DIR}/proto/srg.proto)
file(COPY ${SOURCE_DIR}/srg/ ${SOURCE_DIR}/include/srg.kest.h DESTINATION ${WORK_DIR}/kept)
run(diff -r ${WORK_DIR}/made ${WORK_DIR}/kept)
