# Run by cpack on the staged files (CPACK_PRE_BUILD_SCRIPTS): the text files
# get CRLF line endings, which every Windows editor shows as lines.
file(GLOB_RECURSE _staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_file IN LISTS _staged)
  if(NOT _file MATCHES "\\.(exe|dll)$")
    file(READ "${_file}" _text)
    string(REPLACE "\r\n" "\n" _text "${_text}")
    string(REPLACE "\n" "\r\n" _text "${_text}")
    file(WRITE "${_file}" "${_text}")
  endif()
endforeach()
