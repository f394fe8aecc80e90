# Install rules, the CMake package (kest::kest), kest.pc and the Debian package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KEST_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kest)
set(KEST_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kest EXPORT kestTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kest.h ${PROJECT_SOURCE_DIR}/include/kest.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET kest_cli)
  install(TARGETS kest_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/proto/srg.proto)
  install(FILES ${PROJECT_SOURCE_DIR}/proto/srg.proto DESTINATION ${CMAKE_INSTALL_DATADIR}/kest)
endif()

install(EXPORT kestTargets NAMESPACE kest:: DESTINATION ${KEST_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kestConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kestConfig.cmake INSTALL_DESTINATION ${KEST_CMAKE_DIR})
# The soname changes with the major version, and so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestConfig.cmake ${PROJECT_BINARY_DIR}/kestConfigVersion.cmake
  DESTINATION ${KEST_CMAKE_DIR})

# Paths relative to the .pc file keep the tree relocatable (cmake --install --prefix, cpack).
string(REGEX REPLACE "[^/]+" ".." KEST_PC_PREFIX "${KEST_PC_DIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kest.pc.in ${PROJECT_BINARY_DIR}/kest.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kest.pc DESTINATION ${KEST_PC_DIR})

set(CPACK_PACKAGE_NAME kest)
set(CPACK_PACKAGE_VENDOR kest)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Codecs for the srg message family with a plain C API")
set(CPACK_PACKAGE_CONTACT "kest maintainers <kest@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# libkest needs libc only; the tool adds the C++ runtime.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_GENERATOR DEB)
include(CPack)
