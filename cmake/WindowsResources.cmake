# Version information and manifest of a program's .exe, so Windows shows what the program is:
# <target>.rc.in and <target>.exe.manifest.in beside the CMakeLists that calls it.
function(hk_windows_resources target)
  if(NOT WIN32)
    return()
  endif()
  string(REPLACE "." "," HKPRUNE_VERSION_COMMAS "${PROJECT_VERSION}.0")
  set(HKPRUNE_VERSION4 "${PROJECT_VERSION}.0")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${target}.exe.manifest.in ${target}.exe.manifest @ONLY)
  configure_file(${target}.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS
               ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe.manifest)
endfunction()
