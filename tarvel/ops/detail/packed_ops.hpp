#pragma once

#include <cmath>
#include <cstdint>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/tensor.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// GELU in its tanh approximation, in this order: inner = 0.7978845608028654 * (x + 0.044715 *
// (x * x * x)) (the constant the double nearest sqrt(2 / pi)), then (x * 0.5) * (1.0 +
// tanh(inner)). tanh saturates, so a large |x| gives x or a signed zero without overflow.
inline double geluTanh(double x) {
    const double inner = 0.7978845608028654 * (x + 0.044715 * (x * x * x));
    return (x * 0.5) * (1.0 + std::tanh(inner));
}

// The operators over a packed weight: the checks, messages and sums of their Tensor forms, the
// weights read in their storage type and widened as they are used.
Tensor linear(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
              std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision,
              LinearVariant variant = LinearVariant::operator_);

Tensor rmsNorm(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
               std::uint64_t dim, double epsilon, bool double_precision, bool unit_offset = false);

Tensor feedForward(const Tensor& input, const PackedTensor& gate_weight,
                   const PackedTensor& up_weight, const PackedTensor& down_weight,
                   std::uint64_t rows, std::uint64_t model_dim, std::uint64_t ffn_dim,
                   FeedForwardKind kind, bool double_precision);

}  // namespace Nuvexis::Core::Tarvel::detail
