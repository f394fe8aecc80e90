# Install rules in four components, which are also the four Debian packages:
#   runtime -> libkest0         the shared library
#   dev     -> libkest-dev      headers, the engine's too, the CMake package (kest::kest,
#                               kest::engine, kest_generate), kest.pc, srg.proto
#   tools   -> kest-tools       the kest tool
#   plugin  -> protoc-gen-kest  the protoc plugin
include(CMakePackageConfigHelpers)

function(kest_gzip file gz)  # the way Debian wants documents: gzip -9, no timestamp
  get_filename_component(dir ${gz} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  file(ARCHIVE_CREATE OUTPUT ${gz} PATHS ${file} FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9 MTIME 0)
endfunction()

set(KEST_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kest)
set(KEST_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(KEST_MAINTAINER "kest maintainers <maintainers@kest.invalid>" CACHE STRING "Maintainer of the Debian packages")

install(TARGETS kest EXPORT kestTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/kest.h include/kest_types.h include/srg.kest.h include/kest.hpp include/kest_version.h include/kest_names.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES proto/srg.proto DESTINATION ${CMAKE_INSTALL_DATADIR}/kest COMPONENT dev)
# What code generated from another .proto needs: the engine, the plugin, kest_generate().
install(TARGETS kest_schema EXPORT kestTargets COMPONENT dev)
install(FILES core/engine.hpp core/wire.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kest/core COMPONENT dev)
install(FILES cmake/generate.cmake DESTINATION ${KEST_CMAKE_DIR} RENAME kestGenerate.cmake COMPONENT dev)
set(KEST_PLUGIN_PATH ${CMAKE_INSTALL_BINDIR}/protoc-gen-kest)
if(TARGET protoc-gen-kest)
  install(TARGETS protoc-gen-kest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT plugin)
  kest_gzip(${PROJECT_SOURCE_DIR}/gen/protoc-gen-kest.1 ${PROJECT_BINARY_DIR}/doc/protoc-gen-kest.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/doc/protoc-gen-kest.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT plugin)
endif()
if(TARGET kest_cli)
  install(TARGETS kest_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  kest_gzip(${PROJECT_SOURCE_DIR}/tools/kest.1 ${PROJECT_BINARY_DIR}/doc/kest.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/doc/kest.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  # The tool finds the library beside it in any prefix; in the system's own directories
  # the loader does, and a search path of its own would override local policy.
  install(CODE "if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_BINDIR}/kest\")
  endif()" COMPONENT tools)
endif()

install(EXPORT kestTargets NAMESPACE kest:: DESTINATION ${KEST_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kestConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kestConfig.cmake INSTALL_DESTINATION ${KEST_CMAKE_DIR} PATH_VARS KEST_PLUGIN_PATH)
# The soname changes with the major version, and so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestConfig.cmake ${PROJECT_BINARY_DIR}/kestConfigVersion.cmake
  DESTINATION ${KEST_CMAKE_DIR} COMPONENT dev)

# Paths relative to the .pc file keep the tree relocatable (cmake --install --prefix, cpack).
string(REGEX REPLACE "[^/]+" ".." KEST_PC_PREFIX "${KEST_PC_DIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kest.pc.in ${PROJECT_BINARY_DIR}/kest.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kest.pc DESTINATION ${KEST_PC_DIR} COMPONENT dev)

# Every Debian package carries the copyright and a changelog in its own doc directory.
string(TIMESTAMP kest_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
kest_gzip(${PROJECT_BINARY_DIR}/doc/changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
set(kest_packages runtime libkest0 libs "the shared library"
                  dev libkest-dev libdevel "headers, CMake package, pkg-config file and srg.proto"
                  tools kest-tools utils "the kest command-line tool"
                  plugin protoc-gen-kest devel "the protoc plugin protoc-gen-kest")
set(CPACK_COMPONENTS_ALL)
while(kest_packages)
  list(POP_FRONT kest_packages component package section summary)
  string(TOUPPER ${component} c)
  if((component STREQUAL "tools" AND NOT TARGET kest_cli) OR (component STREQUAL "plugin" AND NOT TARGET protoc-gen-kest))
    continue()
  endif()
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    RENAME copyright COMPONENT ${component})
  install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component})
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section})
  set(CPACK_COMPONENT_${c}_DESCRIPTION "Codecs for the srg message family, Protocol Buffers wire format, C API
kest encodes and decodes the seven messages of the srg family with plain C
records, caller-owned memory and zero-copy payloads.

This package holds ${summary}.")
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kest)
set(CPACK_PACKAGE_VENDOR kest)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGE_CONTACT "${KEST_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool's libkest.so.0 is not installed yet while its dependencies are computed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_PLUGIN_DEPENDS dev)  # what it writes is compiled against the engine's headers
set(CPACK_DEBIAN_PLUGIN_PACKAGE_RECOMMENDS protobuf-compiler)  # protoc is what runs it
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# dpkg's ldconfig trigger, which Debian asks of every shared library package.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")  # new minor versions only add functions
include(CPack)
