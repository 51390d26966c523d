# Read by cpack before it stages anything (CPACK_PROJECT_CONFIG_FILE).
#
# The release's one point in time is the commit it is built from: strip
# writes SOURCE_DATE_EPOCH into the PE headers of the staged binaries, and
# PackageZip.cmake gives it to every zip entry. A time already set by the
# caller wins, as the convention has it; a tree without git history gets the
# earliest time a zip entry can hold, 1980-01-01 00:00:00 UTC.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(QUORVANTA_GIT git)
  if(QUORVANTA_GIT)
    execute_process(
      COMMAND "${QUORVANTA_GIT}" -C "${CPACK_QUORVANTA_SOURCE_DIR}" log -1 --format=%ct
      OUTPUT_VARIABLE _commit_time
      OUTPUT_STRIP_TRAILING_WHITESPACE
      ERROR_QUIET)
  endif()
  if(NOT _commit_time MATCHES "^[0-9]+$")
    message(STATUS "No commit time in ${CPACK_QUORVANTA_SOURCE_DIR}: the package is dated 1980-01-01")
    set(_commit_time 315532800)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${_commit_time}")
endif()
