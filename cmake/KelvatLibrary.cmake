# Helpers for the port libraries: their file names and versions, and the
# public headers each one offers.
include(GNUInstallDirs)

# Public headers are staged here as links to the sources, so that targets in
# this tree that link a library see exactly what an installed copy offers.
set(KELVAT_STAGED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
file(REMOVE_RECURSE ${KELVAT_STAGED_INCLUDE_DIR})
# Installed headers live under <includedir>/kelvat, included as "CPort/...".
set(KELVAT_INSTALL_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/kelvat)

# Installed programs and libraries outside the system's own library
# directories find the libraries relative to themselves.
file(RELATIVE_PATH _kelvat_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
if(NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${_kelvat_bin_to_lib};$ORIGIN")
endif()

# kelvat_library_properties(TARGET FILE_NAME): the library file is
# lib<FILE_NAME>.so.<major> (or .a); it is installed and exported.
function(kelvat_library_properties target file_name)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${file_name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    POSITION_INDEPENDENT_CODE ON)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${KELVAT_STAGED_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${KELVAT_INSTALL_INCLUDE_DIR}>)
  set_property(GLOBAL APPEND PROPERTY KELVAT_INSTALLED_LIBRARIES ${target})
endfunction()

# The platform layer keeps each system's side in a folder of its own
# (CPort/platform/posix, CPort/platform/win32); its headers are included as
# "CPort/platform/<name>" whichever system the build is for.
if(WIN32)
  set(KELVAT_PLATFORM_SIDE win32)
else()
  set(KELVAT_PLATFORM_SIDE posix)
endif()
set(KELVAT_PLATFORM_SIDE_DIR ${PROJECT_SOURCE_DIR}/CPort/platform/${KELVAT_PLATFORM_SIDE})

# Every header of this system's side is staged here for the library itself,
# its tests and its tools in this tree (private headers included); the
# installed copy gets only the public ones.
set(KELVAT_PLATFORM_STAGED_DIR ${PROJECT_BINARY_DIR}/platform-include)
file(REMOVE_RECURSE ${KELVAT_PLATFORM_STAGED_DIR})
file(MAKE_DIRECTORY ${KELVAT_PLATFORM_STAGED_DIR}/CPort/platform)
file(GLOB _kelvat_side_headers ${KELVAT_PLATFORM_SIDE_DIR}/*.h)
foreach(_header ${_kelvat_side_headers})
  get_filename_component(_name ${_header} NAME)
  file(CREATE_LINK ${_header} ${KELVAT_PLATFORM_STAGED_DIR}/CPort/platform/${_name} SYMBOLIC)
endforeach()
# Include directories of everything in this tree that reaches the library's
# private parts: the sources, and the platform layer's headers (shared and
# this system's side) by "CPort/platform/..." or, from within the platform
# layer, by their bare names.
set(KELVAT_PRIVATE_INCLUDE_DIRS
  ${PROJECT_SOURCE_DIR}
  ${KELVAT_PLATFORM_STAGED_DIR}
  ${KELVAT_PLATFORM_STAGED_DIR}/CPort/platform
  ${PROJECT_SOURCE_DIR}/CPort/platform)

# kelvat_public_headers(TARGET HEADER...): HEADERs are paths relative to the
# source root (CPort/ComPort.h). Each is staged and installed with that path;
# a header of the platform side (CPort/platform/posix/win_comm.h) with the
# side's folder left out (CPort/platform/win_comm.h).
function(kelvat_public_headers target)
  foreach(header ${ARGN})
    set(source ${PROJECT_SOURCE_DIR}/${header})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "Public header ${header} of ${target} does not exist")
    endif()
    string(REGEX REPLACE "^CPort/platform/(posix|win32)/" "CPort/platform/" header ${header})
    get_filename_component(dir ${header} DIRECTORY)
    file(MAKE_DIRECTORY ${KELVAT_STAGED_INCLUDE_DIR}/${dir})
    file(CREATE_LINK ${source} ${KELVAT_STAGED_INCLUDE_DIR}/${header} SYMBOLIC)
    install(FILES ${source} DESTINATION ${KELVAT_INSTALL_INCLUDE_DIR}/${dir} COMPONENT development)
  endforeach()
endfunction()
