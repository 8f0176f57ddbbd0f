# The Ansible collection hkprune.putty (ansible/): staged in the build tree as Ansible finds a
# collection (ANSIBLE_COLLECTIONS_PATH=<build>), the Windows build's module .exe included; the
# Windows build also makes its tarball, hkprune-putty-<version>.tar.gz with a .sha256, with the
# same bytes from every build of a commit (see CollectionArchive.py).
set(hk_collection_source ${PROJECT_SOURCE_DIR}/ansible)
set(hk_collection ${CMAKE_BINARY_DIR}/ansible_collections/hkprune/putty)
file(GLOB_RECURSE hk_collection_files CONFIGURE_DEPENDS RELATIVE ${hk_collection_source}
     ${hk_collection_source}/*)
list(FILTER hk_collection_files EXCLUDE REGEX "(^|/)(__pycache__|.*\\.pyc)(/|$)")

set(hk_collection_inputs)
foreach(file IN LISTS hk_collection_files)
  list(APPEND hk_collection_inputs ${hk_collection_source}/${file})
  if(file STREQUAL "galaxy.yml")
    continue()
  endif()
  configure_file(${hk_collection_source}/${file} ${hk_collection}/${file} COPYONLY)
endforeach()
configure_file(${hk_collection_source}/galaxy.yml ${hk_collection}/galaxy.yml @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${hk_collection}/LICENSE COPYONLY)

if(WIN32)
  set(hk_module ${hk_collection}/plugins/modules/win_putty_hostkey.exe)
  add_custom_command(OUTPUT ${hk_module}
                     COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:win_putty_hostkey> ${hk_module}
                     DEPENDS win_putty_hostkey)
  find_program(HK_ANSIBLE_GALAXY ansible-galaxy)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  if(HK_ANSIBLE_GALAXY)
    set(hk_tarball ${CMAKE_BINARY_DIR}/hkprune-putty-${PROJECT_VERSION}.tar.gz)
    set(hk_built ${CMAKE_BINARY_DIR}/collection-build)
    add_custom_command(
      OUTPUT ${hk_tarball} ${hk_tarball}.sha256
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${hk_built}
      COMMAND ${HK_ANSIBLE_GALAXY} collection build --force --output-path ${hk_built}
              ${hk_collection}
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/CollectionArchive.py
              ${hk_built}/hkprune-putty-${PROJECT_VERSION}.tar.gz ${hk_tarball}
      COMMAND ${CMAKE_COMMAND} -DFILE=${hk_tarball} -P ${PROJECT_SOURCE_DIR}/cmake/Sha256File.cmake
      DEPENDS ${hk_module} ${PROJECT_SOURCE_DIR}/cmake/CollectionArchive.py
              ${hk_collection_inputs}
      COMMENT "Building the Ansible collection hkprune.putty")
    add_custom_target(ansible_collection ALL DEPENDS ${hk_tarball})
  else()
    message(WARNING "ansible-galaxy not found: the collection's tarball is not built "
                    "(scripts/install-deps installs ansible-core)")
    add_custom_target(ansible_collection ALL DEPENDS ${hk_module})
  endif()
endif()
