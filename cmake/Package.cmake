# The release zip: cmake --build <build> --target package writes
# quorvanta-apiclient-<version>-win64.zip into the build folder. Everything
# lands side by side in one folder, the executables stripped.
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
set(CPACK_PACKAGE_VENDOR "Quorvanta")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "quorvanta-apiclient-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_STRIP_FILES TRUE)
# Only the release component: subprojects (GoogleTest) may bring install
# rules of their own, which have no place in the zip.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};release;/")
include(CPack)
