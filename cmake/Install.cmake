# What `cmake --install` puts where, in two components:
#   service: libimageserverlib.so, its C header, CMake package and pkg-config
#            file, imageserver-host, the systemd unit, an example config.json
#   client:  libimageserverclient.so, its header, CMake package and pkg-config
#            file, imageserver-client
include(CMakePackageConfigHelpers)

set(IMAGESERVER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the prefix")

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
install(FILES dist/man/imageserver-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT service)
install(FILES dist/config.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT service)
# The unit names the host by its installed path, which is known only when
# installing: a package build installs into a staging folder with another prefix.
install(CODE "
  set(IMAGESERVER_HOST \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/imageserver-host\")
  configure_file(\"${PROJECT_SOURCE_DIR}/dist/imageserver.service.in\"
                 \"${PACKAGE_DIR}/imageserver.service\" @ONLY)"
  COMPONENT service)
install(FILES ${PACKAGE_DIR}/imageserver.service DESTINATION ${IMAGESERVER_SYSTEMD_UNIT_DIR}
        COMPONENT service)

# The client.
install(TARGETS imageserverclient EXPORT ImageServerClientTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client)
install(FILES svx/imageserver/client/ImageServerClient.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/svx/imageserver/client COMPONENT client)
install_package(ImageServerClient ImageServerClientTargets imageserverclient.pc client)
install(TARGETS imageserver-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES dist/man/imageserver-client.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT client)
