# Warnings for the project's own targets: imbrix_set_warnings(<target>).
function(imbrix_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                           -Wnon-virtual-dtor -Wcast-align -Wunused
                                           -Woverloaded-virtual -Wnull-dereference
                                           -Wimplicit-fallthrough)
  if(IMBRIX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
