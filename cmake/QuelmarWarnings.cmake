# Warnings for the project's own targets (not for third-party headers, which are SYSTEM).
function(qm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wno-missing-field-initializers)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wshadow=local -Wno-maybe-uninitialized)
  endif()
endfunction()
