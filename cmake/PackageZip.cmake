# Run by cpack once it has made the zip (CPACK_POST_BUILD_SCRIPTS), before it
# copies the zip to the build folder and computes its checksum.
#
# CPack adds the staged files in the order the file system lists them, and
# libarchive writes each entry's MS-DOS time in the local time zone, so its zip
# differs between machines. It is written again from the same staged files:
# sorted by name, with the permissions Windows' own zip tools would not care
# about fixed, every time (SOURCE_DATE_EPOCH, see PackageConfig.cmake) in UTC.
cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH _top)
file(GLOB_RECURSE _entries LIST_DIRECTORIES false RELATIVE "${_top}" "${CPACK_TEMPORARY_DIRECTORY}/*")
list(SORT _entries)
foreach(_entry IN LISTS _entries)
  if(_entry MATCHES "\\.(exe|dll)$")
    set(_mode WORLD_EXECUTE GROUP_EXECUTE OWNER_EXECUTE)
  else()
    set(_mode)
  endif()
  file(CHMOD "${_top}/${_entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ ${_mode})
endforeach()
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
