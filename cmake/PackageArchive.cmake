# Run by cpack after it made a package (CPACK_POST_BUILD_SCRIPTS), before the checksum, so the
# bytes do not depend on the file system the build ran on. Entry times come from
# SOURCE_DATE_EPOCH when it is set.
# - ZIP, tarball: CPack 3.25 adds entries in the order the file system lists the staging
#   directory; they are written again in sorted order.
# - .deb: CPack counts the directories' own sizes (4 KiB each on ext4, less on tmpfs) into
#   Installed-Size; it is counted again as dpkg does, and dpkg-deb builds the package again.
list(LENGTH CPACK_PACKAGE_FILES count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "PackageArchive: expected one package, got ${CPACK_PACKAGE_FILES}")
endif()
set(package "${CPACK_PACKAGE_FILES}")

if(CPACK_GENERATOR STREQUAL "ZIP" OR CPACK_GENERATOR STREQUAL "TGZ")
  get_filename_component(top "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
  file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE "${top}"
       "${CPACK_TEMPORARY_DIRECTORY}/*")
  list(SORT entries)
  if(CPACK_GENERATOR STREQUAL "ZIP")
    set(tar cf --format=zip)
  else()
    set(tar czf --format=pax)
  endif()
  list(INSERT tar 1 "${package}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar ${tar} -- ${entries}
                  WORKING_DIRECTORY "${top}" COMMAND_ERROR_IS_FATAL ANY)
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repack")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  # dpkg-gencontrol's count: KiB of each file, rounded up, and 1 for each directory.
  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${tree}" "${tree}/*")
  set(size 0)
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^DEBIAN(/|$)")
      continue()
    elseif(IS_DIRECTORY "${tree}/${entry}")
      math(EXPR size "${size} + 1")
    else()
      file(SIZE "${tree}/${entry}" bytes)
      math(EXPR size "${size} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${size}\n"
         control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build "${tree}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endif()
