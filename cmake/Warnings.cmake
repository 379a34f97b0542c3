# Shared compile settings: strict warnings, and no floating-point
# contraction, so that sampling gives the same bits on every platform.
add_library(gridvane_settings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(gridvane_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -ffp-contract=off
    $<$<BOOL:${GRIDVANE_WARNINGS_AS_ERRORS}>:-Werror>)
endif()
