# cmake -DDIR=<work folder> -DSOURCE=<source folder> -P LibsshSource.cmake
# Fetches Debian's libssh source package with apt-get source: apt checks the files against the
# archive's signed index, dpkg-source checks them against the .dsc and applies Debian's
# patches. Only the 0.10 series is accepted: hkcache is written against its interface.
set(fetch ${DIR}/fetch)
file(REMOVE_RECURSE ${fetch} ${SOURCE})
file(MAKE_DIRECTORY ${fetch})

# As root, apt drops to the _apt user to download, who cannot write to root's folders.
set(sandbox)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(uid STREQUAL "0")
  set(sandbox -o APT::Sandbox::User=root)
endif()
execute_process(COMMAND apt-get source -q ${sandbox} libssh WORKING_DIRECTORY ${fetch}
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "apt-get source libssh failed (${status}): ${errors}\n"
                      "scripts/install-deps adds the deb-src entry it needs.")
endif()

file(GLOB trees LIST_DIRECTORIES true ${fetch}/libssh-0.10.*)
list(LENGTH trees count)
if(NOT count EQUAL 1 OR NOT IS_DIRECTORY "${trees}")
  file(GLOB got RELATIVE ${fetch} ${fetch}/*)
  message(FATAL_ERROR "apt-get source libssh gave no libssh 0.10 tree: ${got}")
endif()
file(RENAME ${trees} ${SOURCE})
file(GLOB dsc ${fetch}/*.dsc)
file(STRINGS ${dsc} version REGEX "^Version: ")
message(STATUS "libssh source: ${version}")
file(REMOVE_RECURSE ${fetch})
