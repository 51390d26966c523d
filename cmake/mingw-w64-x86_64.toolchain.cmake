# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# Everything MinGW-specific lives in this file; the project's CMake files stay
# valid for a native MSVC build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_MC_COMPILER ${_triplet}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: every .exe runs on a bare Windows without MinGW DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# MSVC picks the wide entry point by itself; MinGW needs to be told.
set(QUORVANTA_WMAIN_LINK_OPTIONS -municode CACHE STRING "Link options for programs whose entry point is wmain")

# Tests and tools built here run under Wine.
find_program(QUORVANTA_WINE NAMES wine wine64)
if(QUORVANTA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()

# Boost.Filesystem has no MinGW package: scripts/bootstrap unpacks its sources
# here and cmake/Dependencies.cmake compiles them.
set(QUORVANTA_BOOST_INCLUDE_ROOT /usr/include/boost CACHE PATH "Boost headers (the boost folder itself)")
