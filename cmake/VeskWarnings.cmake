# Warnings are errors everywhere; -Wconversion on the portable sources, where it stays readable.
function(vesk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wno-format-nonliteral
                         -Wmissing-declarations)
endfunction()
function(vesk_strict_warnings target)
  vesk_warnings(${target})
  target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion)
endfunction()

# The product's own code (the library, the two programs and their portable parts) is built
# without exceptions: it is C-like, with a C interface and Windows callbacks that no exception
# may leave, and nothing in it throws or catches. A failed allocation is a result it checks
# (malloc, fixed buffers); inside the few standard containers left it ends the process, as an
# uncaught one did before. The tests keep exceptions (doctest uses them).
function(vesk_product target)
  target_compile_options(${target} PRIVATE -fno-exceptions)
endfunction()
