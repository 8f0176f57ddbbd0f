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

# Called by hk_add_test (and by anything else that runs Wine) for each test.
function(hk_decorate_test name)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${HK_WINE_ENV}")
endfunction()
