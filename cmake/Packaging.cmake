# What `cmake --install` puts where, and the packages `cpack` makes of it: a .deb and a tarball
# on Linux, the ZIP on Windows, each with a .sha256 file beside it. With SOURCE_DATE_EPOCH set,
# two builds of the same commit give the same bytes (scripts/reproducible checks it).
set(hk_doc ${PROJECT_SOURCE_DIR}/doc)

if(WIN32)
  # Read in Notepad, so CRLF line ends and .txt names; README.txt names the version. Other
  # projects' texts (a folder given) are copied as they are but for the line ends.
  function(hk_install_crlf src name)
    file(READ ${src} text)
    if(ARGC EQUAL 2)
      string(CONFIGURE "${text}" text @ONLY)
    endif()
    string(REPLACE "\n" "\r\n" text "${text}")
    set(out ${CMAKE_CURRENT_BINARY_DIR}/crlf/${ARGV2}/${name})
    file(WRITE ${out}.new "${text}")
    configure_file(${out}.new ${out} COPYONLY)
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_DOCDIR}/${ARGV2})
  endfunction()
  hk_install_crlf(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)
  hk_install_crlf(${hk_doc}/THIRD-PARTY-NOTICES.txt THIRD-PARTY-NOTICES.txt)
  hk_install_crlf(${hk_doc}/README-windows.txt README.txt)
  # The licences of the DLLs beside hkcache.exe, from their source packages.
  file(GLOB licences ${hk_doc}/licenses/*)
  foreach(licence IN LISTS licences)
    get_filename_component(name ${licence} NAME)
    hk_install_crlf(${licence} ${name}.txt licenses)
  endforeach()
else()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${hk_doc}/THIRD-PARTY-NOTICES.txt
                ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The page's date is SOURCE_DATE_EPOCH's when set. Compressed as Debian wants manual pages:
  # gzip -9, no name or time stamp in the header.
  string(TIMESTAMP HKPRUNE_DATE "%Y-%m-%d" UTC)
  foreach(program hkprune hkcache)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
    configure_file(${hk_doc}/${program}.1 ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9nc ${page} > ${page}.gz DEPENDS ${page}
                       COMMENT "Compressing the manual page of ${program}")
    add_custom_target(${program}_manpage ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${hk_doc}/${program}.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
  endforeach()
endif()

set(HKPRUNE_PACKAGE_CONTACT "${HKPRUNE_AUTHORS} <hkprune@example.org>"
    CACHE STRING "Maintainer named in the .deb and its changelog")

set(CPACK_PACKAGE_NAME hkprune)
set(CPACK_PACKAGE_VENDOR "${HKPRUNE_AUTHORS}")
set(CPACK_PACKAGE_CONTACT "${HKPRUNE_PACKAGE_CONTACT}")
# The package holds both programs: its summary is not hkprune's alone.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Lists, checks, removes and imports the SSH host keys that PuTTY caches")
# The .deb's extended description; a line with a dot separates paragraphs.
set(CPACK_PACKAGE_DESCRIPTION [[
hkprune lists the SSH host keys that the PuTTY tools (plink, pscp, putty)
have cached, filtered by key type, port and host name, or deletes exactly one
of them and leaves every other byte of the cache as it was. It is meant for
administrators and scripts: the report is short and fixed, and the exit status
says whether anything was found or removed.
.
On Linux it works on PuTTY for Unix's host-key file; the same program built for
Windows works on the registry.
.
hkcache manages the same caches as ssh-keygen manages known_hosts: it lists
the keys with their SHA256 fingerprints (as JSON or OpenSSH known_hosts lines
too), removes every key of a host after keeping them in a backup that one
import puts back, and imports keys from known_hosts files, servers' .pub files
or PuTTY's own lines, so that an unattended plink trusts a server from the
start. It checks every cached key against its live server, which must prove
that it holds the key, and fetches a server's key only when it matches a
pinned fingerprint. It reads and changes every user's cache for root (every
loaded profile on Windows), and its exit status tells "nothing matched" from
a failure.]])
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Only the program and its documentation; the test support libraries install nothing.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The build may keep debug information; the packages do not need it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS putty-tools)
# The completion script is read only by bash-completion's loader.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Modes of the staged tree independent of the packager's umask; the .deb's doc directory: the
# licence as a machine-readable copyright file, and a changelog.
configure_file(${PROJECT_SOURCE_DIR}/cmake/PackageStage.cmake.in
               ${CMAKE_CURRENT_BINARY_DIR}/PackageStage.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/PackageStage.cmake)
# The same bytes whatever the file system the build runs on.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageArchive.cmake)

include(CPack)
