# hk_libssh: the SSH library hkcache's live-server commands run on. Only the one source file
# behind hkcache's SSH seam includes its headers.
if(WIN32)
  message(FATAL_ERROR "hk_libssh: the mingw-w64 build of libssh is not wired in yet")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HK_LIBSSH REQUIRED IMPORTED_TARGET libssh>=0.10)
  add_library(hk_libssh INTERFACE)
  target_link_libraries(hk_libssh INTERFACE PkgConfig::HK_LIBSSH)
endif()
