# Boost (headers, Filesystem) and GoogleTest.
#
# Cross build (see the toolchain file): Boost headers come from the host's
# Debian package through a folder that holds only a `boost` link, so the
# cross compiler never sees the host's /usr/include; Boost.Filesystem is
# compiled from the sources that scripts/bootstrap unpacked under the build
# tree; GoogleTest from Debian's sources.
# Native build (MSVC with vcpkg): the installed CMake packages are used.

set(QUORVANTA_BOOST_FILESYSTEM_SOURCE_DIR "${CMAKE_BINARY_DIR}/deps/boost-filesystem/src"
    CACHE PATH "Boost.Filesystem sources to compile (empty: use an installed Boost)")
set(QUORVANTA_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources to compile (empty: use an installed GTest)")

if(QUORVANTA_BOOST_INCLUDE_ROOT AND EXISTS "${QUORVANTA_BOOST_FILESYSTEM_SOURCE_DIR}/operations.cpp")
  set(_boost_include "${CMAKE_BINARY_DIR}/deps/boost-include")
  file(MAKE_DIRECTORY "${_boost_include}")
  if(NOT EXISTS "${_boost_include}/boost")
    file(CREATE_LINK "${QUORVANTA_BOOST_INCLUDE_ROOT}" "${_boost_include}/boost" SYMBOLIC)
  endif()

  add_library(boost_headers INTERFACE)
  target_include_directories(boost_headers SYSTEM INTERFACE "${_boost_include}")
  target_compile_definitions(boost_headers INTERFACE BOOST_ALL_NO_LIB BOOST_FILESYSTEM_STATIC_LINK=1)

  set(_fs "${QUORVANTA_BOOST_FILESYSTEM_SOURCE_DIR}")
  add_library(boost_filesystem STATIC
    ${_fs}/codecvt_error_category.cpp ${_fs}/directory.cpp ${_fs}/exception.cpp
    ${_fs}/operations.cpp ${_fs}/path.cpp ${_fs}/path_traits.cpp ${_fs}/portability.cpp
    ${_fs}/unique_path.cpp ${_fs}/utf8_codecvt_facet.cpp ${_fs}/windows_file_codecvt.cpp)
  # Boost 1.81's atomic_ref path needs C++20.
  target_compile_features(boost_filesystem PRIVATE cxx_std_20)
  target_compile_definitions(boost_filesystem PRIVATE BOOST_FILESYSTEM_SOURCE)
  target_compile_options(boost_filesystem PRIVATE -w)
  target_link_libraries(boost_filesystem PUBLIC boost_headers bcrypt)
  add_library(Boost::headers ALIAS boost_headers)
  add_library(Boost::filesystem ALIAS boost_filesystem)
else()
  find_package(Boost 1.81 REQUIRED COMPONENTS filesystem)
endif()

if(QUORVANTA_BUILD_TESTS)
  if(QUORVANTA_GOOGLETEST_SOURCE_DIR AND EXISTS "${QUORVANTA_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory("${QUORVANTA_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/deps/googletest" EXCLUDE_FROM_ALL)
  else()
    find_package(GTest CONFIG REQUIRED)
  endif()
endif()
