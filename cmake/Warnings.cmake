# Warnings and the source-path mapping for every target of the project itself; third-party code
# (GoogleTest, Google Benchmark) does not link this target and keeps its own flags. Warnings
# are fatal only where a preset sets CMAKE_COMPILE_WARNING_AS_ERROR (the developers' and CI's
# builds): a packager's newer compiler may warn where ours does not.
add_library(hk_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(hk_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wcast-qual -Wformat=2)
endif()

# __FILE__ is recorded relative to the repository root, so log records never show a build
# machine's path (provider/src/File.cpp, not /home/.../provider/src/File.cpp); the same
# mapping keeps the checkout's path out of debug information, so builds of two clones match.
add_library(hk_source_paths INTERFACE)
target_compile_options(hk_source_paths INTERFACE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=")
