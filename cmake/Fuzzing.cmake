# libFuzzer builds (the fuzz preset): coverage and both sanitizers on everything built after this
# point, with every finding fatal; only the fuzz targets link libFuzzer's own main.
option(HKPRUNE_FUZZ "Build the libFuzzer targets under tests/fuzz (Clang only)" OFF)
if(HKPRUNE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "HKPRUNE_FUZZ needs Clang (libFuzzer); use the fuzz preset")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  enable_testing()
endif()
