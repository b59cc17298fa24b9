# Warnings applied per target, never globally, so third-party code stays quiet.
# (-Wshadow=local is GCC's; clang, used for fuzzing, has no such option.)
function(kelvat_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    -Wno-missing-field-initializers)
endfunction()
