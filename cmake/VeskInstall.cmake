# Install rules, in three components that become the Debian packages:
#   runtime      the shared library                            (libvesk2)
#   development  headers, the .so link, pkg-config and CMake files (libvesk-dev)
#   tools        the example tools, installed by examples/     (vesk-tools)
include(CMakePackageConfigHelpers)

install(TARGETS vesk EXPORT VeskTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES
  include/vesk/VeskMessageSystem.h
  include/vesk/VeskNetworkSystem.h
  include/vesk/CryptFunction.h
  include/vesk/VeskTypedefNoneWin32.h
  include/vesk/VeskVersion.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vesk COMPONENT development)

set(VESK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vesk)
install(EXPORT VeskTargets NAMESPACE Vesk:: DESTINATION ${VESK_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/VeskConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeskConfig.cmake INSTALL_DESTINATION ${VESK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeskConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeskConfig.cmake ${PROJECT_BINARY_DIR}/VeskConfigVersion.cmake
  DESTINATION ${VESK_CMAKE_DIR} COMPONENT development)

# The pkg-config file is written when it is installed, with the prefix it is
# installed into (`cmake --install --prefix` included), so that a
# distribution's /usr gets plain /usr paths.
install(CODE "
  get_filename_component(VESK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/vesk.pc.in\" \"${PROJECT_BINARY_DIR}/pkgconfig/vesk.pc\" @ONLY)
  " COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/vesk.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
