# Debian packages built by CPack from the install components: `make package`
# configures a Release build for /usr and runs `cpack -G DEB` in it.
set(VESK_PACKAGE_MAINTAINER "libvesk developers <maintainers@libvesk.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesk)
set(CPACK_PACKAGE_VENDOR "the libvesk developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(VESK_BUILD_EXAMPLES)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VESK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the tools' libvesk is found
# in the build tree and named explicitly below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(VESK_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(VESK_RUNTIME_PACKAGE libvesk${PROJECT_VERSION_MAJOR})

set(VESK_DEB_PACKAGES ${VESK_RUNTIME_PACKAGE} libvesk-dev vesk-tools)
# The extended description the three packages share, before their own line.
set(VESK_DEB_ABOUT
  "libvesk gives an application TCP sessions carried in length-framed records,
with an RSA key exchange and then Triple-DES or Blowfish, messages delivered
to handler functions registered per message type, UDP datagrams and an
optional user/password login.
.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VESK_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file (only the runtime package holds a shared library) and the
# ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "client/server messaging over encrypted TCP sessions - library
${VESK_DEB_ABOUT}
This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvesk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${VESK_RUNTIME_PACKAGE} (= ${VESK_DEB_VERSION}), libevent-dev (>= 2.1)")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "client/server messaging over encrypted TCP sessions - development files
${VESK_DEB_ABOUT}
This package holds the headers, a pkg-config file and a CMake package.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vesk-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${VESK_RUNTIME_PACKAGE} (= ${VESK_DEB_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "client/server messaging over encrypted TCP sessions - example tools
${VESK_DEB_ABOUT}
This package holds vesk-echo-server, vesk-echo-client, vesk-udp-ping and
vesk-keygen, and a protocol dissector for Wireshark and tshark.")

# Each package carries the licence in Debian's copyright format and a Debian
# changelog, compressed as Debian's tools do (gzip -9n); a plain install
# leaves them out.
foreach(component package IN ZIP_LISTS CPACK_COMPONENTS_ALL VESK_DEB_PACKAGES)
  if(NOT component)
    break()
  endif()
  set(VESK_DEB_PACKAGE ${package})
  set(doc_dir ${PROJECT_BINARY_DIR}/debian/${package})
  configure_file(cmake/debian/changelog.in ${doc_dir}/changelog.Debian @ONLY)
  execute_process(COMMAND gzip -9nf ${doc_dir}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
  install(FILES cmake/debian/copyright ${doc_dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
