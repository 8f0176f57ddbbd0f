# hk_header_only(<target> <folder> <header>): an INTERFACE target for a header-only library
# installed under the host's include directory as <folder>/<header>. The folder is copied into
# the build tree and only that copy is put on the include path: the host's /usr/include itself
# would shadow a cross compiler's C library headers.
function(hk_header_only target folder header)
  find_path(${target}_ROOT ${folder}/${header} PATHS /usr/include /usr/local/include
            NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT ${target}_ROOT)
    message(FATAL_ERROR "${folder}/${header} not found: run scripts/install-deps")
  endif()
  set(dest ${CMAKE_BINARY_DIR}/header-only/${target})
  file(COPY ${${target}_ROOT}/${folder} DESTINATION ${dest})
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${dest})
endfunction()
