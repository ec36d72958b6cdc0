# What `cmake --install` puts where; the Debian packages (CPack, cmake/packaging.cmake) and
# the Windows installer (packaging/windows/qz121032.nsi) are made from the same rules.
#
# Components: "library" (the RP1210 library, its C headers, pkg-config and CMake package
# files, the tools, the documents and, on Linux, the example INI file as /etc/qz121032.ini)
# and "simulator" (the simulated CAN driver libtarnlib32.so / tarnlib32.dll and
# tarnsim-node), kept apart so that a real driver can take the simulator's place.
#
# The library loads the driver by name through the system's search, and the tools load the
# library the same way when it is not beside them: both go to the library directory (on
# Windows the installer puts the DLLs in the system directory), and the installed programs
# carry no RPATH.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QZ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qz121032)
set(QZ_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/qz121032)

install(TARGETS qz121032 EXPORT qz121032Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/qz121032/include/qz121032/rp1210.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qz121032 COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/qzj1939lib/include/qzj1939lib/j1939.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qzj1939lib COMPONENT library)

set(_qz_tools rp1210 rp1210-ini)
if(TARGET j1939_listen)
  list(APPEND _qz_tools j1939_listen)
endif()
install(TARGETS ${_qz_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/install.md
              ${PROJECT_SOURCE_DIR}/docs/ini.md ${PROJECT_SOURCE_DIR}/docs/tools.md
              ${PROJECT_SOURCE_DIR}/docs/j1939.md ${PROJECT_SOURCE_DIR}/docs/j1939_interface.md
              ${PROJECT_SOURCE_DIR}/docs/socketcan.md
  DESTINATION ${QZ_INSTALL_DOCDIR} COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/examples/ostrel_qz121032.ini
              ${PROJECT_SOURCE_DIR}/examples/j1939_listen.c
  DESTINATION ${QZ_INSTALL_DOCDIR}/examples COMPONENT library)

if(NOT WIN32)
  # The library reads qz121032.ini from /etc (the Windows directory of the POSIX build).
  # Installed under /usr it goes there; under another prefix to PREFIX/etc, from where the
  # administrator copies it.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_qz_ini_dir ${CMAKE_INSTALL_FULL_SYSCONFDIR})
  else()
    set(_qz_ini_dir ${CMAKE_INSTALL_SYSCONFDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/examples/ostrel_qz121032.ini DESTINATION ${_qz_ini_dir}
    RENAME qz121032.ini COMPONENT library)
endif()

# pkg-config: `pkg-config --cflags --libs qz121032`.
configure_file(${PROJECT_SOURCE_DIR}/cmake/qz121032.pc.in ${PROJECT_BINARY_DIR}/qz121032.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qz121032.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)

# CMake: find_package(qz121032) gives the imported target qz121032::qz121032.
install(EXPORT qz121032Targets NAMESPACE qz121032:: DESTINATION ${QZ_INSTALL_CMAKEDIR}
  COMPONENT library)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qz121032Config.cmake.in
  ${PROJECT_BINARY_DIR}/qz121032Config.cmake INSTALL_DESTINATION ${QZ_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qz121032ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qz121032Config.cmake
              ${PROJECT_BINARY_DIR}/qz121032ConfigVersion.cmake
  DESTINATION ${QZ_INSTALL_CMAKEDIR} COMPONENT library)

install(TARGETS tarnsim
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT simulator
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT simulator)
install(TARGETS tarnsim-node RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)

# The SocketCAN driver: the same file name as the simulated driver, for real CAN interfaces
# on Linux. Its package takes the simulator's place.
if(TARGET tarnsock)
  install(TARGETS tarnsock LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT socketcan)
endif()
