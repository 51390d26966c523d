# Run by cpack once it has made the zip (CPACK_POST_BUILD_SCRIPTS), before it
# copies the zip to the build folder and computes its checksum.
#
# CPack adds the staged files in the order the file system lists them, and
# libarchive writes each entry's MS-DOS time in the local time zone, so the
# same files make different zips on different machines. The zip is written
# again from the staged files: in the sorted order file(GLOB_RECURSE) gives,
# every time in UTC (the times themselves are SOURCE_DATE_EPOCH, see
# PackageConfig.cmake; owners and permissions come from the install rules).
cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH _top)
file(GLOB_RECURSE _entries LIST_DIRECTORIES false RELATIVE "${_top}" "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_zip IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE "${_zip}")
  execute_process(
    COMMAND "${CPACK_QUORVANTA_CMAKE_COMMAND}" -E env TZ=UTC0
            "${CPACK_QUORVANTA_CMAKE_COMMAND}" -E tar cf "${_zip}" --format=zip -- ${_entries}
    WORKING_DIRECTORY "${_top}"
    RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "Could not write ${_zip} (${_result})")
  endif()
endforeach()
