# One switch turns AddressSanitizer and UndefinedBehaviorSanitizer on for everything built
# after this point, tests and third-party code included, with every finding fatal.
if(HKPRUNE_SANITIZE)
  set(_hk_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${_hk_san})
  add_link_options(${_hk_san})
endif()
