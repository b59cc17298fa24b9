# Cross-building for 64-bit Windows on Debian with mingw-w64 (the posix
# thread variant, for std::thread and friends).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The C++ runtime is linked statically, so an .exe needs no DLL beside it.
# Tests run under Wine: set KELVAT_WINEPREFIX (cache or environment) to the
# Wine prefix they should use; ctest then starts every .exe through wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kelvat_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_kelvat_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kelvat_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_kelvat_mingw}-windres)

# Libraries and headers only from the mingw tree; programs (msgfmt) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_kelvat_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

if(NOT KELVAT_WINEPREFIX AND DEFINED ENV{KELVAT_WINEPREFIX})
  set(KELVAT_WINEPREFIX $ENV{KELVAT_WINEPREFIX})
endif()
set(KELVAT_WINEPREFIX "${KELVAT_WINEPREFIX}" CACHE PATH "Wine prefix in which the tests run")
find_program(KELVAT_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KELVAT_WINE64 AND KELVAT_WINEPREFIX)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEPREFIX=${KELVAT_WINEPREFIX} WINEDEBUG=-all ${KELVAT_WINE64})
endif()
