#pragma once

#include <cstdint>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Root-mean-square normalisation of each row of {rows, dim}, scaled by weight {dim}.
Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
               double epsilon, bool double_precision);

// The same, scaled by 1 + weight[d] (formed in double, then used as the weight is) when
// unit_offset is true; with false it is the form above, bit for bit.
Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
               double epsilon, bool double_precision, bool unit_offset);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
