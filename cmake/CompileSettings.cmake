# How the project's code is compiled. Every target that compiles the
# library or the stand-in tools library, or code that samples (tests,
# benchmarks, fuzzers, the tool, the Python module), links gridvane_settings.
add_library(gridvane_settings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(gridvane_settings INTERFACE
    # Strict warnings: most of the arithmetic moves between float, double
    # and the integer counts, where a silent narrowing is a wrong result.
    # Sign conversions are left out: sizes are size_t and the C interface's
    # counts int32_t, and a cast at every crossing would hide the real ones.
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    # No floating-point contraction. Allowed to, a compiler fuses a * b + c
    # into one multiply-add wherever the target has one, rounding once
    # instead of twice: bilinear sampling and frame lookups would then give
    # other bits on another machine, compiler or optimisation level, and the
    # scalar and vector samplers would disagree.
    -ffp-contract=off
    $<$<BOOL:${GRIDVANE_WARNINGS_AS_ERRORS}>:-Werror>)
endif()

# Sanitizers, as -fsanitize= takes them (the asan, tsan and fuzz presets set
# it). They go on every target of the build, since a sanitized library
# loads only into a sanitized program; the build files ask this option, not
# the compiler flags, whether the build is sanitized.
set(GRIDVANE_SANITIZE "" CACHE STRING
  "Build everything with these sanitizers, as -fsanitize= takes them (address,undefined; thread)")
if(GRIDVANE_SANITIZE)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-fsanitize=${GRIDVANE_SANITIZE};-fno-sanitize-recover=all;-fno-omit-frame-pointer>")
  # fuzzer-no-link only instruments: the fuzz targets link libFuzzer themselves.
  string(REPLACE "," ";" runtimes "${GRIDVANE_SANITIZE}")
  list(REMOVE_ITEM runtimes fuzzer-no-link)
  list(JOIN runtimes "," runtimes)
  add_link_options(-fsanitize=${runtimes})
endif()

# Coverage: every target of the build instrumented (the coverage preset),
# so that the tests' runs of the library are counted line by line and
# branch by branch; tests/coverage_summary.py reads the counts.
option(GRIDVANE_COVERAGE "Build with coverage instrumentation (gcov)" OFF)
if(GRIDVANE_COVERAGE)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:--coverage;-fno-inline;-fprofile-update=atomic>")
  add_link_options(--coverage)
endif()
