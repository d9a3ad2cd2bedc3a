#pragma once

#include <cstdint>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Which value check a projection applies to its outputs.
enum class LinearVariant : std::uint8_t {
    forward,   // "transformer forward produced NaN/Inf": the full forward pass' projections
    operator_  // "transformer operator produced NaN/Inf": the feed-forward block
};

// out[r, o] = sum over i ascending of input[r, i] * weight[o, i]; weight is [out, in].
Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in_dim,
              std::uint64_t out_dim, bool double_precision,
              LinearVariant variant = LinearVariant::operator_);

// The feed-forward block: up projection first, then the activation chosen by kind, then the
// down projection.
Tensor feedForward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                   const Tensor& down_weight, std::uint64_t rows, std::uint64_t model_dim,
                   std::uint64_t ffn_dim, FeedForwardKind kind, bool double_precision);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
