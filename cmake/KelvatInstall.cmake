# Installing the port libraries for other projects: the libraries, a CMake
# package (find_package(KelvatCPort) gives kelvat::cport,
# kelvat::cport_storage and kelvat::cport_testing) and pkg-config files
# (kelvat-cport, kelvat-cport-storage, kelvat-cport-testing).
include(CMakePackageConfigHelpers)

set(KELVAT_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KelvatCPort)
get_property(_kelvat_libraries GLOBAL PROPERTY KELVAT_INSTALLED_LIBRARIES)

install(TARGETS ${_kelvat_libraries} EXPORT KelvatCPortTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(EXPORT KelvatCPortTargets NAMESPACE kelvat::
  DESTINATION ${KELVAT_CMAKE_PACKAGE_DIR} COMPONENT development)

# A static storage library leaves linking SQLite to its consumer (on POSIX;
# on Windows it stores in the system's registry).
get_target_property(_kelvat_storage_type cport_storage TYPE)
if(_kelvat_storage_type STREQUAL "STATIC_LIBRARY" AND NOT WIN32)
  set(KELVAT_STATIC_LIBRARIES TRUE)
  set(KELVAT_PC_STORAGE_REQUIRES_PRIVATE "sqlite3")
else()
  set(KELVAT_STATIC_LIBRARIES FALSE)
  set(KELVAT_PC_STORAGE_REQUIRES_PRIVATE "")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KelvatCPortConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KelvatCPortConfig.cmake
  INSTALL_DESTINATION ${KELVAT_CMAKE_PACKAGE_DIR})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KelvatCPortConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KelvatCPortConfig.cmake ${PROJECT_BINARY_DIR}/KelvatCPortConfigVersion.cmake
  DESTINATION ${KELVAT_CMAKE_PACKAGE_DIR} COMPONENT development)

# The .pc files find their prefix relative to themselves, so an installed
# tree may be moved (pkg-config's ${pcfiledir}).
set(KELVAT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KELVAT_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${KELVAT_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KELVAT_PC_TO_PREFIX "${KELVAT_PC_TO_PREFIX}")
# On Windows the system libraries the port library calls, and no testing
# library (the virtual device is POSIX-only).
set(KELVAT_PC_SYSTEM_LIBS "")
set(_kelvat_pc_files kelvat-cport kelvat-cport-storage kelvat-cport-testing)
if(WIN32)
  set(KELVAT_PC_SYSTEM_LIBS " -lsetupapi -ladvapi32 -luser32")
  list(REMOVE_ITEM _kelvat_pc_files kelvat-cport-testing)
endif()
foreach(pc ${_kelvat_pc_files})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${KELVAT_PC_DIR} COMPONENT development)
endforeach()
