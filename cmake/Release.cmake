# What a release needs of every shipped executable: a version resource made
# from project(VERSION). The package itself is cmake/Package.cmake.
enable_language(RC)
set(QUORVANTA_VERSION_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/version.rc.in")

# Gives an executable target a VERSIONINFO with the project's version, the
# product name, the description given and its own file name.
function(quorvanta_version_resource target description)
  set(QUORVANTA_FILE_DESCRIPTION "${description}")
  set(QUORVANTA_TARGET_NAME "${target}")
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(QUORVANTA_ORIGINAL_FILENAME "${output_name}${CMAKE_EXECUTABLE_SUFFIX}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${QUORVANTA_VERSION_TEMPLATE}" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
