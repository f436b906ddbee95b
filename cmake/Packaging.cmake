# Install clean-up and Debian packages. Included at the end of the top-level
# CMakeLists.txt, once every install() rule is known.

# `uninstall`: undoes `cmake --install` of this build tree (see the script).
configure_file(${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake.in
  ${PROJECT_BINARY_DIR}/cmake_uninstall.cmake @ONLY)
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -P ${PROJECT_BINARY_DIR}/cmake_uninstall.cmake
  COMMENT "Removing the installed files"
  VERBATIM)

# Debian packages, one per install component:
#   daemon      the program, its manual page and bash completion
#   libsdp1     the shared library (named after its SONAME, libsdp.so.1)
#   libsdp-dev  header, static library, linker name, pkg-config and CMake
#               package files, manual pages
# Build them from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr, so
# that the library directory is Debian's multiarch one:
#   cpack --config BUILD/CPackConfig.cmake -G DEB
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME daemon-libsdp)
set(CPACK_PACKAGE_VENDOR "daemon and libsdp developers")
set(CPACK_PACKAGE_CONTACT "daemon and libsdp developers <dev@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it in front of every
# component's description, whose first line is already the package synopsis.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL daemon libsdp libsdp-dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "daemon and libsdp developers <dev@localhost>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies from the binaries (dpkg-shlibdeps); between the
# component packages from their declared dependencies, same version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME daemon)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)

set(CPACK_DEBIAN_LIBSDP_PACKAGE_NAME libsdp1)
set(CPACK_DEBIAN_LIBSDP_PACKAGE_SECTION libs)
# A shlibs control file for each package holding a shared library (libsdp1
# alone), so that programs packaged against it depend on libsdp1.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIBSDP-DEV_PACKAGE_NAME libsdp-dev)
set(CPACK_DEBIAN_LIBSDP-DEV_PACKAGE_SECTION libdevel)

include(CPack)

cpack_add_component(daemon
  DISPLAY_NAME "daemon"
  DESCRIPTION "run a command detached from the terminal, optionally supervised
daemon runs a command in the background, detached from the controlling
terminal. With supervision options it stays behind as a supervisor:
it relays the command's output to syslog or a file, keeps pidfiles,
forwards SIGTERM and restarts the command when it ends.")
cpack_add_component(libsdp
  DISPLAY_NAME "libsdp"
  DESCRIPTION "Bluetooth SDP service registration library
libsdp is the client side of the host's local SDP control channel: a
program that offers a Bluetooth service registers, changes and
unregisters its service record with the local SDP server through it.
This package holds the shared library.")
cpack_add_component(libsdp-dev
  DISPLAY_NAME "libsdp development files"
  DEPENDS libsdp
  DESCRIPTION "Bluetooth SDP service registration library - development files
libsdp is the client side of the host's local SDP control channel: a
program that offers a Bluetooth service registers, changes and
unregisters its service record with the local SDP server through it.
This package holds the header, the static library, the pkg-config and
CMake package files and the manual pages.")
