# Debian packages: cpack -G DEB in the build folder makes one package per
# install component (cmake/Install.cmake), a -dbgsym package with the
# detached debug information of each package that holds ELF files, and then
# finishes them with cmake/DebianRepack.cmake.
set(CPACK_PACKAGE_NAME imageserver)
set(CPACK_PACKAGE_VENDOR "imageserver")
set(CPACK_PACKAGE_CONTACT "imageserver maintainers <imageserver@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The install rules run with the package's prefix and a DESTDIR, so that the
# units name /usr/bin and the pkg-config files /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL ${COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE imageserver)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need the project's own libraries, which are in other packages:
# dpkg-shlibdeps finds them in the build tree and leaves their dependencies
# to the Depends set below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/svx/imageserver/client)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianRepack.cmake)
set(DEBIAN_EXACT "(= ${PROJECT_VERSION})")

foreach(component IN LISTS COMPONENTS)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${PACKAGE_${component}})
endforeach()

set(CPACK_DEBIAN_SERVICE_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_SERVICE_LIB_PACKAGE_CONTROL_EXTRA ${DEBIAN_DIR}/triggers)
set(CPACK_DEBIAN_SERVICE_LIB_DESCRIPTION "Local image service (library)
libimageserverlib.so serves the image files of the local file system to the
other processes of the machine over a Unix socket, on behalf of the host
process that loads it. Images are read in sandboxed decoder processes
(imageserver-decoder), which this package also holds.")

set(CPACK_DEBIAN_SERVICE_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SERVICE_DEV_PACKAGE_DEPENDS "${PACKAGE_service_lib} ${DEBIAN_EXACT}")
set(CPACK_DEBIAN_SERVICE_DEV_DESCRIPTION "Local image service (development files)
The C control interface of libimageserverlib.so for hosts that load the
image service: its header, the CMake package ImageServer and the pkg-config
module imageserverlib.")

set(CPACK_DEBIAN_HOST_PACKAGE_SECTION net)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS
    "${PACKAGE_service_lib} ${DEBIAN_EXACT}, adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA
    ${DEBIAN_DIR}/postinst ${DEBIAN_DIR}/prerm ${DEBIAN_DIR}/postrm ${DEBIAN_DIR}/conffiles)
set(CPACK_DEBIAN_HOST_DESCRIPTION "Local image service
imageserver-host runs the local image service as the systemd units
imageserver.socket and imageserver.service, for the members of the group
imageserver; user units run it for one user. The configuration is
/etc/svx/config/imageserver/config.json.")

set(CPACK_DEBIAN_CLIENT_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CLIENT_LIB_PACKAGE_CONTROL_EXTRA ${DEBIAN_DIR}/triggers)
set(CPACK_DEBIAN_CLIENT_LIB_DESCRIPTION "Client of the local image service (library)
libimageserverclient.so asks the local image service for image information
and decoded images over its Unix socket.")

set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_DEPENDS "${PACKAGE_client_lib} ${DEBIAN_EXACT}")
set(CPACK_DEBIAN_CLIENT_DEV_DESCRIPTION "Client of the local image service (development files)
The C++ and C interfaces of libimageserverclient.so: their headers, the CMake
package ImageServerClient and the pkg-config modules imageserverclient (C++)
and imageserverclient-c (C).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${PACKAGE_client_lib} ${DEBIAN_EXACT}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Client of the local image service (command line)
imageserver-client asks the local image service from the command line for
the information and the pixels of image files.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "${PACKAGE_client_lib} (>= ${PROJECT_VERSION}), python3:any, python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-pil)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Client of the local image service (Python 3)
The Python package imageserver asks the local image service for image
information, file bytes and decoded images through libimageserverclient.so.
Decoded images are numpy arrays over the shared memory they arrive in.")
include(CPack)
