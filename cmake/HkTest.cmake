# hk_add_test(<source>): one GoogleTest executable named after the file, registered with CTest.
# Windows builds run it through the emulator (Wine) inside the wineserver fixture when one is
# defined (see tests/windows).
function(hk_add_test src)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE hk_test_support GTest::gtest_main GTest::gmock hk_warnings
                                        hk_source_paths)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(COMMAND hk_decorate_test)
    hk_decorate_test(${name})
  endif()
endfunction()
