# Install rules: library, public headers under include/vesk, a pkg-config file
# and a CMake package (find_package(Vesk) gives Vesk::vesk).
include(CMakePackageConfigHelpers)

install(TARGETS vesk EXPORT VeskTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES
  include/vesk/VeskMessageSystem.h
  include/vesk/VeskNetworkSystem.h
  include/vesk/CryptFunction.h
  include/vesk/VeskTypedefNoneWin32.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vesk)

set(VESK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vesk)
install(EXPORT VeskTargets NAMESPACE Vesk:: DESTINATION ${VESK_CMAKE_DIR})
configure_package_config_file(cmake/VeskConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeskConfig.cmake INSTALL_DESTINATION ${VESK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeskConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeskConfig.cmake ${PROJECT_BINARY_DIR}/VeskConfigVersion.cmake
  DESTINATION ${VESK_CMAKE_DIR})

# The pkg-config file finds its prefix relative to itself, so an installed
# tree can be moved or installed with --prefix.
file(RELATIVE_PATH VESK_PC_PREFIX_FROM_PCFILEDIR
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/vesk.pc.in ${PROJECT_BINARY_DIR}/vesk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vesk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
