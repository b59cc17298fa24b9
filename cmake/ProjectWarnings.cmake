# Warnings applied per target, never globally, so third-party code stays quiet.
function(kelvat_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local -Wno-missing-field-initializers)
endfunction()
