# What a release needs of every shipped binary: a version resource made from
# project(VERSION), headers that say which Windows it needs, and output that
# does not depend on where or when it was built. The package itself is
# cmake/Package.cmake.
enable_language(RC)
set(QUORVANTA_VERSION_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/version.rc.in")
set(QUORVANTA_COMPANY_NAME "Quorvanta")

# The oldest Windows the binaries are made for: the version the code is
# compiled for, _WIN32_WINNT in the one header that includes Windows' own
# (0x0601: Windows 7 and Windows Server 2008 R2). The imports themselves need
# 6.0 (InitializeProcThreadAttributeList, WSAPoll).
file(STRINGS "${PROJECT_SOURCE_DIR}/code/arch/src/WinApi.h" _winnt REGEX "^#define _WIN32_WINNT 0x")
if(NOT _winnt MATCHES "0x([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f][0-9A-Fa-f])")
  message(FATAL_ERROR "No _WIN32_WINNT in code/arch/src/WinApi.h")
endif()
math(EXPR QUORVANTA_WINDOWS_MAJOR "0x${CMAKE_MATCH_1}")
math(EXPR QUORVANTA_WINDOWS_MINOR "0x${CMAKE_MATCH_2}")

if(CMAKE_C_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # File names that reach the binaries through __FILE__ (assertions, Boost's
  # exception locations) are written relative to the tree they come from, so
  # that no folder of the build machine ends up in a release. GCC names
  # system headers by their real path.
  file(REAL_PATH "${QUORVANTA_BOOST_INCLUDE_ROOT}" _boost_headers)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${_boost_headers}/=boost/>")

  # No link time anywhere in the output: strip writes the commit's time into
  # the file header when the package is made (Package.cmake), but it leaves
  # the one in a DLL's export directory alone. And the Windows version above
  # as the oldest the loader may run the binaries on.
  add_link_options(
    LINKER:--no-insert-timestamp
    LINKER:--major-subsystem-version,${QUORVANTA_WINDOWS_MAJOR}
    LINKER:--minor-subsystem-version,${QUORVANTA_WINDOWS_MINOR}
    LINKER:--major-os-version,${QUORVANTA_WINDOWS_MAJOR}
    LINKER:--minor-os-version,${QUORVANTA_WINDOWS_MINOR})
endif()

# Gives an executable or a DLL target a VERSIONINFO with the project's
# version, the company and product names, the description given and its own
# file name.
function(quorvanta_version_resource target description)
  set(QUORVANTA_FILE_DESCRIPTION "${description}")
  set(QUORVANTA_TARGET_NAME "${target}")
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(QUORVANTA_FILE_TYPE VFT_APP)
    set(suffix "${CMAKE_EXECUTABLE_SUFFIX}")
  else()
    set(QUORVANTA_FILE_TYPE VFT_DLL)
    set(suffix "${CMAKE_SHARED_MODULE_SUFFIX}")
  endif()
  set(QUORVANTA_ORIGINAL_FILENAME "${output_name}${suffix}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${QUORVANTA_VERSION_TEMPLATE}" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
