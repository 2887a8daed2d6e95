# What `cmake --install` puts where, in two components that are also the two
# Debian packages that `cpack -G DEB` makes:
#   service: libimageserverlib.so, its C header, CMake package and pkg-config
#            file, imageserver-host, the decoder process
#            (libexec/imageserver/imageserver-decoder), the systemd unit, an
#            example config.json
#   client:  libimageserverclient.so, its header, CMake package and pkg-config
#            file, imageserver-client
include(CMakePackageConfigHelpers)

set(IMAGESERVER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd system units are installed, relative to the prefix")
set(IMAGESERVER_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the systemd user units are installed, relative to the prefix")

# The .pc files find their prefix relative to where they are installed.
file(RELATIVE_PATH PC_RELATIVE_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
set(PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/package)

# Writes and installs the CMake package <name> for the exported targets of
# <export> and the pkg-config file made from cmake/<pc>.in.
function(install_package name export pc component)
  install(EXPORT ${export} NAMESPACE ImageServer:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name}
          COMPONENT ${component})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/${name}Config.cmake.in
    ${PACKAGE_DIR}/${name}Config.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  write_basic_package_version_file(${PACKAGE_DIR}/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PACKAGE_DIR}/${name}Config.cmake ${PACKAGE_DIR}/${name}ConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name} COMPONENT ${component})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.in ${PACKAGE_DIR}/${pc} @ONLY)
  install(FILES ${PACKAGE_DIR}/${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT ${component})
endfunction()

# The service.
install(TARGETS imageserverlib EXPORT ImageServerTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT service)
install(FILES imageserver/ImageServerControl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/imageserver
        COMPONENT service)
set(IMAGESERVERLIB_SONAME libimageserverlib.so.${PROJECT_VERSION_MAJOR})
install_package(ImageServer ImageServerTargets imageserverlib.pc service)
install(TARGETS imageserver-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(TARGETS imageserver-decoder RUNTIME DESTINATION ${IMAGESERVER_DECODER_INSTALL_DIR}
        COMPONENT service)
install(FILES dist/man/imageserver-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT service)
install(FILES dist/config.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT service)
# The unit names the host by its installed path, which is known only when
# installing: a package build installs into a staging folder with another prefix.
# The system units (the service and its socket) and the user units (a
# service per user, started by its socket in the user's runtime folder).
install(CODE "
  set(IMAGESERVER_HOST \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/imageserver-host\")
  foreach(unit imageserver.service imageserver.socket user/imageserver.service
               user/imageserver.socket)
    configure_file(\"${PROJECT_SOURCE_DIR}/dist/\${unit}.in\" \"${PACKAGE_DIR}/\${unit}\" @ONLY)
  endforeach()"
  COMPONENT service)
install(FILES ${PACKAGE_DIR}/imageserver.service ${PACKAGE_DIR}/imageserver.socket
        DESTINATION ${IMAGESERVER_SYSTEMD_UNIT_DIR} COMPONENT service)
install(FILES ${PACKAGE_DIR}/user/imageserver.service ${PACKAGE_DIR}/user/imageserver.socket
        DESTINATION ${IMAGESERVER_SYSTEMD_USER_UNIT_DIR} COMPONENT service)

# The client.
install(TARGETS imageserverclient EXPORT ImageServerClientTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client)
install(FILES svx/imageserver/client/ImageServerClient.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/svx/imageserver/client COMPONENT client)
install_package(ImageServerClient ImageServerClientTargets imageserverclient.pc client)
install(TARGETS imageserver-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES dist/man/imageserver-client.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT client)

# Debian packages: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME imageserver)
set(CPACK_PACKAGE_VENDOR "imageserver")
set(CPACK_PACKAGE_CONTACT "imageserver maintainers <imageserver@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The install rules run with the package's prefix and a DESTDIR, so that the
# unit names /usr/bin.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL service client)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME imageserver)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "Local image service
libimageserverlib.so serves the image files of the local file system to the
other processes of the machine over a Unix socket; imageserver-host runs it
as the systemd unit imageserver.service, for the members of the group
imageserver. Images are read in sandboxed decoder processes. Includes the C
control interface for other hosts.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/prerm
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME imageserver-client)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "Client of the local image service
libimageserverclient.so with its header, CMake package and pkg-config file,
and imageserver-client, which asks the service from the command line.")
include(CPack)
