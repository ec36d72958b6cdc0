# The Debian packages, made by CPack from the install rules (cmake/install.cmake):
#   qz121032          the "library" component
#   qz121032-tarnsim  the "simulator" component: the simulated driver libtarnlib32.so.
#   qz121032-socketcan  the "socketcan" component: libtarnlib32.so over Linux SocketCAN.
# A driver package takes another's place by providing tarnlib32-driver: one is installed.
# scripts/package.sh runs `cpack -G DEB` in the linux-package build.
set(CPACK_PACKAGE_NAME qz121032)
set(CPACK_PACKAGE_VENDOR "Ostrel")
set(CPACK_PACKAGE_CONTACT "Ostrel <support@ostrel.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL library simulator)
if(TARGET tarnsock)
  list(APPEND CPACK_COMPONENTS_ALL socketcan)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# j1939_listen links against the library of the same package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME qz121032)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_RECOMMENDS
  "qz121032-tarnsim | qz121032-socketcan | tarnlib32-driver")
# The first line of a description is the package's synopsis.
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
  "RP1210 application-interface library for heavy-duty vehicle networks
libqz121032.so with the RP1210_* and j1939_* functions, its C headers
(<qz121032/rp1210.h>, <qzj1939lib/j1939.h>), pkg-config and CMake package files,
the tools rp1210, rp1210-ini and j1939_listen, and the example configuration
/etc/qz121032.ini. The library reaches CAN hardware through the driver library
libtarnlib32.so (package qz121032-tarnsim, or a real driver).")
# CPack's maintainer scripts run ldconfig for the shared libraries.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/library/conffiles)

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME qz121032-tarnsim)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_PROVIDES tarnlib32-driver)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_CONFLICTS tarnlib32-driver)
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION
  "simulated CAN driver for the Ostrel RP1210 library
libtarnlib32.so with the functions of the CAN driver library, on virtual
interfaces and buses shared between processes (TARNSIM_CONFIG names their
configuration), and tarnsim-node, a node on a simulated bus. Replace it with
the driver of real hardware.")

set(CPACK_DEBIAN_SOCKETCAN_PACKAGE_NAME qz121032-socketcan)
set(CPACK_DEBIAN_SOCKETCAN_PACKAGE_PROVIDES tarnlib32-driver)
set(CPACK_DEBIAN_SOCKETCAN_PACKAGE_CONFLICTS tarnlib32-driver)
set(CPACK_DEBIAN_SOCKETCAN_PACKAGE_REPLACES qz121032-tarnsim)
set(CPACK_DEBIAN_SOCKETCAN_DESCRIPTION
  "SocketCAN driver for the Ostrel RP1210 library
libtarnlib32.so with the functions of the CAN driver library over Linux
SocketCAN: the RP1210 library then works on the machine's CAN interfaces
(can0, ..., USB and PCI adapters, vcan). Installed instead of the simulated
driver qz121032-tarnsim. See /usr/share/doc/qz121032/socketcan.md.")

include(CPack)
