# hk_add_test(<source>): one GoogleTest executable named after the file; CTest learns its test
# cases from the executable just before the tests run, so a failure names the case. Windows
# builds run it through the emulator (cmake/Wine.cmake) inside the wineserver fixture.
include(GoogleTest)

function(hk_add_test src)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE hk_test_support GTest::gtest_main GTest::gmock hk_warnings
                                        hk_source_paths)
  set(properties)
  if(CMAKE_CROSSCOMPILING)
    set(properties PROPERTIES FIXTURES_REQUIRED wine)
  endif()
  # Listing runs under Wine too: a prefix made from nothing takes longer than the default 5 s.
  gtest_discover_tests(${name} EXTRA_ARGS --gtest_brief=1
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                       DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 ${properties})
endfunction()
