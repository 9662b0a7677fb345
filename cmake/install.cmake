# `cmake --install`: the public header, the shared library with its version
# and SONAME, a pkg-config file and a CMake package (qz_norvo::qz_norvo).
include(CMakePackageConfigHelpers)

install(TARGETS qz_norvo EXPORT qz_norvo_targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/qz_norvo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(QZ_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qz_norvo)
install(EXPORT qz_norvo_targets NAMESPACE qz_norvo:: FILE qz_norvo-targets.cmake
        DESTINATION ${QZ_CMAKE_PACKAGE_DIR})
configure_package_config_file(cmake/qz_norvo-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qz_norvo-config.cmake INSTALL_DESTINATION ${QZ_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qz_norvo-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qz_norvo-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/qz_norvo-config-version.cmake
        DESTINATION ${QZ_CMAKE_PACKAGE_DIR})

# The library's dependencies are private (linked into the shared library and
# hidden behind its C interface), so applications link only -lqz_norvo.
# The file finds the prefix from its own place, so the tree can be installed
# with `cmake --install --prefix` anywhere.
file(RELATIVE_PATH QZ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QZ_PC_TO_PREFIX "${QZ_PC_TO_PREFIX}")
configure_file(cmake/qz_norvo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qz_norvo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qz_norvo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
