# The programs, their desktop entry and the Debian package
# (`cpack -G DEB` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr;
# scripts/package.sh does both).
set(KELVAT_PACKAGE_NAME kelvat-commport)
set(KELVAT_PACKAGE_CONTACT "Kelvat CommPort maintainers <maintainers@kelvat.invalid>"
  CACHE STRING "Maintainer named in the Debian package")

if(TARGET kelvat-commport)
  install(TARGETS kelvat-commport RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvat-commport.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvat-commport.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT runtime)
endif()
if(TARGET kelvat-port)
  install(TARGETS kelvat-port RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
# The demo instrument, so that the window and the tool can be tried without
# hardware.
if(TARGET demo_device)
  install(PROGRAMS $<TARGET_FILE:demo_device> DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME kelvat-demo-device COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KELVAT_PACKAGE_NAME} COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KELVAT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Kelvat")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KELVAT_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial-port terminal and serial-port library")
set(_kelvat_programs "A desktop terminal for serial devices (kelvat-commport)")
if(TARGET kelvat-port)
  string(APPEND _kelvat_programs ", a command-line companion (kelvat-port)")
endif()
set(CPACK_PACKAGE_DESCRIPTION "${_kelvat_programs},\n\
a demo instrument on a pseudo-terminal (kelvat-demo-device), and the\n\
serial-port library they are built on, with its headers, CMake package and\n\
pkg-config files.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Qt loads its platform plug-in at run time, so no library dependency
# names it.
if(TARGET kelvat-commport)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
