#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/spec/transformer_spec.hpp"

// Everything declared here is part of the shared library's interface.
namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// A padded batch of token sequences: token t of sequence b sits at b * width + t.
struct TokenBatch {
    std::uint64_t batch = 0;
    std::uint64_t width = 0;
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> lengths;  // empty, or one length per sequence
};

using ForwardTrace = std::function<void(std::string_view name, const Tensor& tensor)>;

struct ForwardOptions {
    bool double_precision = true;
    ForwardTrace trace;  // empty: no tracing
    bool compute_logits = true;
};

// The input checks transformerForward runs first, in their fixed order.
void validateForwardInputs(const TransformerSpec& spec, const TransformerWeights& weights,
                           const TokenBatch& tokens);

// Logits {batch, width, vocabulary}, or the absent tensor when compute_logits is false.
Tensor transformerForward(const TransformerSpec& spec, const TransformerWeights& weights,
                          const TokenBatch& tokens, const ForwardOptions& options);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
