# The optional parts (tool, tests, protobuf comparison, benchmark, fuzz targets) are
# built when what they need is found, or left out with one line naming the Debian
# packages that bring it. KEST_REQUIRE_ALL makes that line an error, so that CI
# cannot skip a part silently.
function(kest_left_out part why)
  if(KEST_REQUIRE_ALL)
    message(FATAL_ERROR "kest: ${part} cannot be built: ${why} (KEST_REQUIRE_ALL is on)")
  endif()
  message(STATUS "kest: ${part} left out: ${why}")
endfunction()

# kest_requires(<part> "<Debian packages>" <package> [find_package arguments]): the
# calling directory stops here when the package is not found (a macro, so that
# return() leaves the caller).
macro(kest_requires part debs package)
  find_package(${package} ${ARGN} QUIET)
  if(NOT ${package}_FOUND)
    kest_left_out(${part} "${package} not found (Debian: ${debs})")
    return()
  endif()
endmacro()

# The fuzz targets need clang and its libFuzzer runtime; the directory stops here without.
macro(kest_requires_libfuzzer)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    kest_left_out("fuzz targets" "they need clang: -DCMAKE_CXX_COMPILER=clang++ (Debian: clang libclang-rt-14-dev)")
    return()
  endif()
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer,address,undefined)
  check_cxx_source_compiles("#include <cstddef>
#include <cstdint>
extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }" KEST_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT KEST_HAVE_LIBFUZZER)
    kest_left_out("fuzz targets" "clang's libFuzzer runtime not found (Debian: libclang-rt-14-dev)")
    return()
  endif()
endmacro()

# Google's protobuf code for the .proto files after DIR, into the build's DIR, built once
# for whichever parts compare against it (the comparison tests, the oracle fuzz targets).
function(kest_protobuf target dir)
  if(TARGET ${target})
    return()
  endif()
  add_library(${target} STATIC)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/${dir})  # protoc writes into it; only Ninja makes it
  protobuf_generate(TARGET ${target} LANGUAGE cpp PROTOS ${ARGN} APPEND_PATH PROTOC_OUT_DIR ${PROJECT_BINARY_DIR}/${dir})
  target_include_directories(${target} SYSTEM PUBLIC ${PROJECT_BINARY_DIR}/${dir})
  target_link_libraries(${target} PUBLIC protobuf::libprotobuf)
endfunction()
function(kest_srg_protobuf)
  kest_protobuf(kest_srg_proto srg_proto ${PROJECT_SOURCE_DIR}/proto/srg.proto)
endfunction()
# The files of the plugin's comparisons: examples/own_proto and proto3's implicit presence.
set(KEST_OWN_PROTOS ${PROJECT_SOURCE_DIR}/examples/own_proto/telemetry.proto ${PROJECT_SOURCE_DIR}/compat/implicit.proto)
# kest's codecs for them, implicit.proto's with `speed`, so that both outputs are checked.
function(kest_own_codecs target)
  kest_generate(TARGET ${target} PROTOS ${PROJECT_SOURCE_DIR}/examples/own_proto/telemetry.proto PREFIX tm_)
  kest_generate(TARGET ${target} PROTOS ${PROJECT_SOURCE_DIR}/compat/implicit.proto PREFIX tm_ OPTIONS speed)
endfunction()
