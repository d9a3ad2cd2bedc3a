#pragma once

#include <cstdint>

#include "tarvel/core/tensor.hpp"

namespace Nuvexis::Core::Tarvel {

// Root-mean-square normalisation of each row of {rows, dim}, scaled by weight {dim}.
Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
               double epsilon, bool double_precision);

}  // namespace Nuvexis::Core::Tarvel
