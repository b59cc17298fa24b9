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

# kelvat_public_headers(TARGET HEADER...): HEADERs are paths relative to the
# source root (CPort/ComPort.h). Each is staged and installed with that path.
function(kelvat_public_headers target)
  foreach(header ${ARGN})
    set(source ${PROJECT_SOURCE_DIR}/${header})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "Public header ${header} of ${target} does not exist")
    endif()
    get_filename_component(dir ${header} DIRECTORY)
    file(MAKE_DIRECTORY ${KELVAT_STAGED_INCLUDE_DIR}/${dir})
    file(CREATE_LINK ${source} ${KELVAT_STAGED_INCLUDE_DIR}/${header} SYMBOLIC)
    install(FILES ${source} DESTINATION ${KELVAT_INSTALL_INCLUDE_DIR}/${dir} COMPONENT development)
  endforeach()
endfunction()
