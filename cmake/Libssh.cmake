# hk_libssh: the SSH library hkcache's live-server commands run on. Only the one source file
# behind hkcache's SSH seam includes its headers, and only hk_probe links it (privately).
include_guard(GLOBAL)
if(WIN32)
  # Debian has no mingw-w64 build of libssh: its source package (apt-get source, through the
  # deb-src entry scripts/install-deps adds) is cross-built once per build tree, with libgcrypt
  # from libgcrypt-mingw-w64-dev. Fetched and built at build time; the tree's _deps folder keeps
  # it across rebuilds and fresh configures.
  include(ExternalProject)
  set(hk_libssh_root ${CMAKE_BINARY_DIR}/_deps/libssh)
  set(hk_libssh_prefix ${hk_libssh_root}/install)
  set(hk_libssh_implib ${hk_libssh_prefix}/lib/libssh.dll.a)
  find_program(HK_MINGW_STRIP x86_64-w64-mingw32-strip REQUIRED)
  find_file(HK_LIBGCRYPT_DLL libgcrypt-20.dll PATHS /usr/x86_64-w64-mingw32/bin REQUIRED
            NO_DEFAULT_PATH)
  find_file(HK_LIBGPG_ERROR_DLL libgpg-error-0.dll PATHS /usr/x86_64-w64-mingw32/bin REQUIRED
            NO_DEFAULT_PATH)

  set(launchers)
  foreach(lang C CXX)
    if(CMAKE_${lang}_COMPILER_LAUNCHER)
      list(APPEND launchers -DCMAKE_${lang}_COMPILER_LAUNCHER=${CMAKE_${lang}_COMPILER_LAUNCHER})
    endif()
  endforeach()
  cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)

  # The DLLs the programs load, stripped, beside the .exe files: Wine and Windows look there
  # first, and the ZIP ships these same files.
  set(hk_libssh_dlls)
  foreach(dll ${hk_libssh_prefix}/bin/libssh.dll ${HK_LIBGCRYPT_DLL} ${HK_LIBGPG_ERROR_DLL})
    get_filename_component(name ${dll} NAME)
    list(APPEND hk_libssh_dlls ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name})
    list(APPEND strip_commands COMMAND ${HK_MINGW_STRIP} --strip-unneeded
         -o ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name} ${dll})
  endforeach()

  # Warnings are libssh's own business: the parent's warnings-as-errors stays out of it. The
  # DLL carries winpthread and libgcc, and no link time, so two builds give the same bytes.
  ExternalProject_Add(hk_libssh_build
    PREFIX ${hk_libssh_root}
    SOURCE_DIR ${hk_libssh_root}/source
    BINARY_DIR ${hk_libssh_root}/build
    STAMP_DIR ${hk_libssh_root}/stamp
    TMP_DIR ${hk_libssh_root}/tmp
    DOWNLOAD_DIR ${hk_libssh_root}/download
    INSTALL_DIR ${hk_libssh_prefix}
    DOWNLOAD_COMMAND ${CMAKE_COMMAND} -DDIR=${hk_libssh_root}/download
                     -DSOURCE=${hk_libssh_root}/source
                     -P ${PROJECT_SOURCE_DIR}/cmake/LibsshSource.cmake
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
               -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
               -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF ${launchers}
               -DWITH_GCRYPT=ON -DWITH_ZLIB=OFF -DWITH_GSSAPI=OFF -DWITH_SERVER=OFF
               -DWITH_EXAMPLES=OFF -DUNIT_TESTING=OFF
               "-DCMAKE_SHARED_LINKER_FLAGS=-static -Wl,--no-insert-timestamp"
               "-DCMAKE_C_FLAGS=-ffile-prefix-map=<SOURCE_DIR>=libssh"
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --parallel ${cores}
    INSTALL_COMMAND ${CMAKE_COMMAND} --install <BINARY_DIR>
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
            ${strip_commands}
    BUILD_BYPRODUCTS ${hk_libssh_implib} ${hk_libssh_dlls}
    LOG_DOWNLOAD ON LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

  # An include directory of an imported target must exist when the build is generated.
  file(MAKE_DIRECTORY ${hk_libssh_prefix}/include)
  add_library(hk_libssh_dll SHARED IMPORTED GLOBAL)
  set_target_properties(hk_libssh_dll PROPERTIES
    IMPORTED_IMPLIB ${hk_libssh_implib}
    IMPORTED_LOCATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/libssh.dll
    INTERFACE_INCLUDE_DIRECTORIES ${hk_libssh_prefix}/include)
  add_library(hk_libssh INTERFACE)
  target_link_libraries(hk_libssh INTERFACE hk_libssh_dll)
  add_dependencies(hk_libssh hk_libssh_build)
  install(FILES ${hk_libssh_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HK_LIBSSH REQUIRED IMPORTED_TARGET libssh>=0.10)
  add_library(hk_libssh INTERFACE)
  target_link_libraries(hk_libssh INTERFACE PkgConfig::HK_LIBSSH)
endif()
