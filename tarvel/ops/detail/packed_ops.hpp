#pragma once

#include <cstdint>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/tensor.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// The operators over a packed weight: the checks, messages and sums of their Tensor forms, the
// weights read in their storage type and widened as they are used.
Tensor linear(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
              std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision,
              LinearVariant variant = LinearVariant::operator_);

Tensor rmsNorm(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
               std::uint64_t dim, double epsilon, bool double_precision);

Tensor feedForward(const Tensor& input, const PackedTensor& gate_weight,
                   const PackedTensor& up_weight, const PackedTensor& down_weight,
                   std::uint64_t rows, std::uint64_t model_dim, std::uint64_t ffn_dim,
                   FeedForwardKind kind, bool double_precision);

}  // namespace Nuvexis::Core::Tarvel::detail
