# Numeric results must be bit-identical across compilers and optimisation levels,
# so contraction into fused multiply-adds is always off and nothing may reorder sums.
function(tarvel_set_compile_options target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -ffp-contract=off
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
    if(TARVEL_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  elseif(MSVC)
    # /fp:precise never contracts unless /fp:contract is given.
    target_compile_options(${target} PRIVATE /fp:precise /W4 /permissive-)
    if(TARVEL_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12.2's SLP vectoriser at -O2 drops the float32 round trip in code shaped like
    # `t[0] = dp ? a : (double)(float)a; t[1] = dp ? b : (double)(float)b;`, which is
    # exactly a reduced-precision value check applied to a rotated pair.
    target_compile_options(${target} PRIVATE -fno-tree-slp-vectorize)
  endif()
endfunction()
