# The release zip: cmake --build <build> --target package writes
# quorvanta-apiclient-<version>-win64.zip into the build folder, and beside it
# its SHA-256 in quorvanta-apiclient-<version>-win64.zip.sha256. Everything
# lands side by side in one folder, the executables stripped.
#
# Two builds of one commit with the same packages installed give the same
# bytes, whatever the build folder, the hour or the time zone:
# - PackageConfig.cmake sets SOURCE_DATE_EPOCH to the commit's time before
#   anything is staged, so strip writes that time into the PE headers;
# - PackageStaged.cmake gives the staged text files Windows line endings;
# - PackageZip.cmake writes the zip again with its entries sorted and their
#   times in UTC.
install(TARGETS quorvanta-apiclient quorvanta-embedded-server
  RUNTIME DESTINATION . COMPONENT release)
install(TARGETS quorvanta_errors
  LIBRARY DESTINATION . COMPONENT release
  RUNTIME DESTINATION . COMPONENT release)
install(FILES
  "${PROJECT_SOURCE_DIR}/LICENSE"
  "${PROJECT_SOURCE_DIR}/docs/operating.md"
  DESTINATION . COMPONENT release)
install(FILES "${PROJECT_SOURCE_DIR}/ship/embedded-server/README.md"
  DESTINATION . RENAME README-embedded-server.md COMPONENT release)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/ship/notices/"
  DESTINATION notices COMPONENT release)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quorvanta-apiclient)
set(CPACK_PACKAGE_VENDOR "${QUORVANTA_COMPANY_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "quorvanta-apiclient-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES TRUE)
# Only the release component: subprojects (GoogleTest) may bring install
# rules of their own, which have no place in the zip.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};release;/")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackageConfig.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PackageStaged.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PackageZip.cmake")
# What those scripts need to know of this build (CPack passes on only
# variables named CPACK_*).
set(CPACK_QUORVANTA_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_QUORVANTA_CMAKE_COMMAND "${CMAKE_COMMAND}")
include(CPack)
