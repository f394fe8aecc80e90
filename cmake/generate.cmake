# kest_generate(TARGET <target> PROTOS <a.proto>... PREFIX <prefix> [IMPORT_DIRS <dir>...]
#               [OPTIONS speed skip_unsupported])
# Runs protoc with protoc-gen-kest over each .proto and adds to <target> the records
# (<a>.kest.h), the field lists (<a>.kest.hpp) and the operations (<a>.kest.cpp),
# named <prefix><record>_encode_ext and so on. The generated directory and the engine
# come with <target> to whatever links it.
function(kest_generate)
  cmake_parse_arguments(arg "" "TARGET;PREFIX" "PROTOS;IMPORT_DIRS;OPTIONS" ${ARGN})
  if(NOT arg_TARGET OR NOT arg_PROTOS OR NOT arg_PREFIX)
    message(FATAL_ERROR "kest_generate: TARGET, PROTOS and PREFIX are required")
  endif()
  if(NOT TARGET protobuf::protoc)
    find_package(Protobuf REQUIRED)
  endif()
  if(TARGET protoc-gen-kest)  # in kest's own tree
    set(plugin $<TARGET_FILE:protoc-gen-kest>)
    set(depends protoc-gen-kest)
  elseif(EXISTS "${KEST_PROTOC_GEN_KEST}")
    set(plugin ${KEST_PROTOC_GEN_KEST})
    set(depends ${plugin})
  else()
    message(FATAL_ERROR "kest_generate: protoc-gen-kest was not built with this kest (Debian: libprotoc-dev)")
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}.kest)
  file(MAKE_DIRECTORY ${out})
  set(paths)
  foreach(dir IN LISTS arg_IMPORT_DIRS)
    get_filename_component(dir ${dir} ABSOLUTE)
    list(APPEND paths -I ${dir})
  endforeach()
  set(options)
  foreach(option IN LISTS arg_OPTIONS)  # not split: its files are known only once generated
    list(APPEND options --kest_opt=${option})
  endforeach()
  foreach(proto IN LISTS arg_PROTOS)
    get_filename_component(proto ${proto} ABSOLUTE)
    get_filename_component(dir ${proto} DIRECTORY)
    get_filename_component(base ${proto} NAME_WE)
    set(files ${out}/${base}.kest.h ${out}/${base}.kest.hpp ${out}/${base}.kest.cpp)
    add_custom_command(OUTPUT ${files}
      COMMAND protobuf::protoc --plugin=protoc-gen-kest=${plugin} --kest_out=${out}
        --kest_opt=prefix=${arg_PREFIX} ${options} -I ${dir} ${paths} ${proto}
      DEPENDS ${proto} ${depends}
      COMMENT "kest: generating ${base}.kest.{h,hpp,cpp}" VERBATIM)
    target_sources(${arg_TARGET} PRIVATE ${files})
  endforeach()
  target_include_directories(${arg_TARGET} PUBLIC ${out})
  target_link_libraries(${arg_TARGET} PUBLIC kest::engine)
endfunction()
