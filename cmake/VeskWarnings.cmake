# Warnings are errors everywhere; -Wconversion on the portable sources, where it stays readable.
function(vesk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wno-format-nonliteral
                         -Wmissing-declarations)
endfunction()
function(vesk_strict_warnings target)
  vesk_warnings(${target})
  target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion)
endfunction()
