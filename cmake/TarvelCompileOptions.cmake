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

# The projections' vector kernels, one source file per x86-64 instruction set.
set(tarvel_panel_kernel_dir ${PROJECT_SOURCE_DIR}/tarvel/ops/detail/)
set(tarvel_panel_kernel_sources ${tarvel_panel_kernel_dir}panel_kernels_avx512.cpp
                                ${tarvel_panel_kernel_dir}panel_kernels_avx2.cpp)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND
   CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(tarvel_panel_kernels_built ON)
else()
  set(tarvel_panel_kernels_built OFF)
endif()

# Source file properties belong to a directory: every directory that compiles the library's
# sources calls this.
function(tarvel_panel_kernel_flags)
  if(tarvel_panel_kernels_built)
    set_source_files_properties(${tarvel_panel_kernel_dir}panel_kernels_avx512.cpp
                                PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512vl;-mf16c")
    set_source_files_properties(${tarvel_panel_kernel_dir}panel_kernels_avx2.cpp
                                PROPERTIES COMPILE_OPTIONS "-mavx2;-mf16c")
    set_source_files_properties(${tarvel_panel_kernel_dir}panel_kernels.cpp
                                PROPERTIES COMPILE_DEFINITIONS TARVEL_PANEL_KERNELS)
  endif()
endfunction()
