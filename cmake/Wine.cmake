# Windows builds: every test runs under Wine in a prefix of the build tree's own, inside a
# fixture that starts one persistent wineserver fully detached first and stops it last. A
# server started by a test would inherit ctest's pipes and hold each test open for minutes.
set(HK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# No Mono or Gecko: prefix creation would otherwise look for installers it cannot fetch.
set(HK_WINE_ENV "WINEPREFIX=${HK_WINEPREFIX}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")

add_test(NAME wine_start
         COMMAND sh -c "mkdir -p '${HK_WINEPREFIX}' && setsid -w sh -c 'wineserver -p; wine cmd /c exit' </dev/null >/dev/null 2>&1")
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${HK_WINE_ENV}")
add_test(NAME wine_stop COMMAND wineserver -k)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${HK_WINE_ENV}")

# The test executables run through hk-wine, which brings its own environment: CTest lists their
# test cases before any fixture has run, and the listing must not start the server itself.
configure_file(${CMAKE_CURRENT_LIST_DIR}/hk-wine.in ${CMAKE_BINARY_DIR}/hk-wine
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/hk-wine)

# Called for each test that runs Wine but is not a test executable (end-to-end scripts).
function(hk_decorate_test name)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${HK_WINE_ENV}")
endfunction()
