# Run by cpack after it made a ZIP or tarball (CPACK_POST_BUILD_SCRIPTS), before the checksum.
# CPack 3.25 adds entries in the order the file system lists the staging directory, which
# differs between file systems; this writes the archive again with its files in sorted order.
# Entry times come from SOURCE_DATE_EPOCH when set, as in CPack's own archives.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(mode cf)
  set(format --format=zip)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(mode czf)
  set(format --format=pax)
else()
  return()
endif()

get_filename_component(top "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
get_filename_component(name "${CPACK_TEMPORARY_DIRECTORY}" NAME)
file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE "${top}" "${CPACK_TEMPORARY_DIRECTORY}/*")
list(SORT entries)
list(LENGTH CPACK_PACKAGE_FILES count)
if(NOT count EQUAL 1 OR NOT entries)
  message(FATAL_ERROR "PackageArchive: expected one package of ${name}, got ${CPACK_PACKAGE_FILES}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar ${mode} "${CPACK_PACKAGE_FILES}" ${format}
                        -- ${entries}
                WORKING_DIRECTORY "${top}" COMMAND_ERROR_IS_FATAL ANY)
