# `cmake --install` puts the program in <prefix>/bin; `cpack` in a Windows build tree makes the
# ZIP that carries hkprune.exe (and the README) to a Windows machine.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/hkprune)
endif()

set(CPACK_PACKAGE_NAME hkprune)
set(CPACK_PACKAGE_VENDOR hkprune)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lists or deletes the SSH host keys that PuTTY caches")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
if(WIN32)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
# Only the program and its documentation; the test support libraries install nothing.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The build keeps its debug information; the package does not need it.
set(CPACK_STRIP_FILES ON)
include(CPack)
