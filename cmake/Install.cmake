# What `cmake --install` puts where, in seven components that are also the seven
# Debian packages that `cpack -G DEB` makes, split as Debian splits libraries:
#   service_lib  libimageserverlib2: libimageserverlib.so.2 and the decoder
#                process it starts (libexec/imageserver/imageserver-decoder)
#   service_dev  libimageserverlib-dev: its C header, the .so link, the CMake
#                package and the pkg-config file
#   host         imageserver: imageserver-host, the systemd units (system and
#                user), the configuration (a conffile in the packages) and an
#                example of it
#   client_lib   libimageserverclient2: libimageserverclient.so.2
#   client_dev   libimageserverclient-dev: its headers (C++ and C), the .so
#                link, the CMake package and the pkg-config files
#   tools        imageserver-tools: imageserver-client
#   python       python3-imageserver: the Python package over the client
#                library's C interface
# Each component also installs its package's copyright and changelog in
# share/doc/<package>, and its lintian overrides where it has any.
include(CMakePackageConfigHelpers)

set(IMAGESERVER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the system units are installed, relative to the prefix")
set(IMAGESERVER_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the user units are installed, relative to the prefix")
# The configuration the system unit's host reads (its --config-root is
# /etc/svx/config). Installed only by a component install, as the packages
# do, so that installing a whole tree into a prefix leaves /etc alone.
set(IMAGESERVER_CONFIG_DIR /etc/svx/config/imageserver)

set(PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/package)
set(DEBIAN_DIR ${PROJECT_SOURCE_DIR}/dist/debian)

set(PACKAGE_service_lib libimageserverlib${PROJECT_VERSION_MAJOR})
set(PACKAGE_service_dev libimageserverlib-dev)
set(PACKAGE_host imageserver)
set(PACKAGE_client_lib libimageserverclient${PROJECT_VERSION_MAJOR})
set(PACKAGE_client_dev libimageserverclient-dev)
set(PACKAGE_tools imageserver-tools)
set(PACKAGE_python python3-imageserver)
set(COMPONENTS service_lib service_dev host client_lib client_dev tools python)

# Man pages and the changelog are installed compressed (gzip -9n: no name or
# time stamp, so that the same sources give the same packages).
set(GZIP_DIR ${CMAKE_CURRENT_BINARY_DIR}/gz)
set(GZIPPED)
foreach(source dist/man/imageserver-host.1 dist/man/imageserver-client.1 dist/debian/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${GZIP_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${GZIP_DIR}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${GZIP_DIR}/${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND GZIPPED ${GZIP_DIR}/${name}.gz)
endforeach()
add_custom_target(imageserver_gzipped ALL DEPENDS ${GZIPPED})

foreach(component IN LISTS COMPONENTS)
  set(package ${PACKAGE_${component}})
  install(FILES ${DEBIAN_DIR}/copyright ${GZIP_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  if(EXISTS ${DEBIAN_DIR}/${package}.lintian-overrides)
    install(FILES ${DEBIAN_DIR}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component})
  endif()
endforeach()

# Installs the pkg-config file made from cmake/<pc>.in. It names the
# installation's prefix, known only when installing (a package build installs
# into a staging folder with the prefix /usr); a tree moved elsewhere is used
# with pkg-config --define-variable=prefix=<its folder>.
function(install_pkgconfig pc component)
  set(PC_PREFIX "@PC_PREFIX@")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.in ${PACKAGE_DIR}/${pc}.in @ONLY)
  install(CODE "
    set(PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PACKAGE_DIR}/${pc}.in\" \"${PACKAGE_DIR}/${pc}\" @ONLY)"
    COMPONENT ${component})
  install(FILES ${PACKAGE_DIR}/${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT ${component})
endfunction()

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
  install_pkgconfig(${pc} ${component})
endfunction()

# The service library. The decoder process goes with it: the library starts
# it, finds it relative to itself and speaks a protocol private to the two,
# so a library and a decoder of different builds must never meet.
install(TARGETS imageserverlib EXPORT ImageServerTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT service_lib
                NAMELINK_COMPONENT service_dev)
install(TARGETS imageserver-decoder RUNTIME DESTINATION ${IMAGESERVER_DECODER_INSTALL_DIR}
        COMPONENT service_lib)
install(FILES imageserver/ImageServerControl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/imageserver
        COMPONENT service_dev)
set(IMAGESERVERLIB_SONAME libimageserverlib.so.${PROJECT_VERSION_MAJOR})
install_package(ImageServer ImageServerTargets imageserverlib.pc service_dev)

# The host with its units and configuration. The units name the host by its
# installed path, which is known only when installing.
install(TARGETS imageserver-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
install(FILES ${GZIP_DIR}/imageserver-host.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT host)
install(FILES dist/config.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT host)
install(FILES dist/config.json DESTINATION ${IMAGESERVER_CONFIG_DIR} COMPONENT host
        EXCLUDE_FROM_ALL)
foreach(unit imageserver.service imageserver.socket user/imageserver.service
             user/imageserver.socket)
  install(CODE "
    set(IMAGESERVER_HOST \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/imageserver-host\")
    configure_file(\"${PROJECT_SOURCE_DIR}/dist/${unit}.in\" \"${PACKAGE_DIR}/${unit}\" @ONLY)"
    COMPONENT host)
endforeach()
install(FILES ${PACKAGE_DIR}/imageserver.service ${PACKAGE_DIR}/imageserver.socket
        DESTINATION ${IMAGESERVER_SYSTEMD_UNIT_DIR} COMPONENT host)
install(FILES ${PACKAGE_DIR}/user/imageserver.service ${PACKAGE_DIR}/user/imageserver.socket
        DESTINATION ${IMAGESERVER_SYSTEMD_USER_UNIT_DIR} COMPONENT host)

# The client library and the command-line client.
install(TARGETS imageserverclient EXPORT ImageServerClientTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client_lib
                NAMELINK_COMPONENT client_dev)
install(FILES svx/imageserver/client/ImageServerClient.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/svx/imageserver/client COMPONENT client_dev)
# The status type the C++ client's calls return: one header, nothing to link.
install(FILES platform/kor/status.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform/kor
        COMPONENT client_dev)
install_package(ImageServerClient ImageServerClientTargets imageserverclient.pc client_dev)
# The C interface of the same library: its header, reached through the
# CMake package's ImageServer::client too, and a pkg-config entry of its own.
install(FILES imageserver/client.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/imageserver
        COMPONENT client_dev)
install_pkgconfig(imageserverclient-c.pc client_dev)
install(TARGETS imageserver-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${GZIP_DIR}/imageserver-client.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT tools)

# The Python package, pure Python: it loads the client library at run time.
set(IMAGESERVER_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
    "Where the Python package is installed, relative to the prefix")
install(FILES python/imageserver/__init__.py DESTINATION ${IMAGESERVER_PYTHON_DIR}/imageserver
        COMPONENT python)

include(cmake/DebianPackages.cmake)
