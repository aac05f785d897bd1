# Injected with CMAKE_PROJECT_INCLUDE by run.sh when the top-level CMakeLists.txt does
# not (yet) add bench/: the same targets, in a build directory of the benchmark's own.
include_guard(GLOBAL)
add_subdirectory(${CMAKE_SOURCE_DIR}/bench ${CMAKE_BINARY_DIR}/bench)
