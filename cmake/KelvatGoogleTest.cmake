# GoogleTest for a cross build: Debian ships only its sources
# (/usr/src/googletest), which are built here with the cross compiler and
# offered under the names find_package(GTest) gives.
set(KELVAT_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${KELVAT_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${KELVAT_GOOGLETEST_SOURCE_DIR} (package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${KELVAT_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(_gt gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_gt})
    add_library(GTest::${_gt} ALIAS ${_gt})
  endif()
endforeach()
