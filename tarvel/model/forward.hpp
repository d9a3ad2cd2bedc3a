#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// A padded batch of token sequences: token t of sequence b sits at b * width + t.
struct TokenBatch {
    std::uint64_t batch = 0;
    std::uint64_t width = 0;
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> lengths;  // empty, or one length per sequence
};

// One unpadded sequence: batch 1, width = the number of tokens.
TokenBatch singleSequence(std::vector<std::uint32_t> tokens);

// The token with the largest logit at `position` of a {batch, width, vocabulary} logits tensor
// (sequence 0), the lowest id among equals. Throws std::invalid_argument "logits shape is
// invalid" for a tensor of another rank or with no vocabulary or storage that does not match
// its shape, and std::out_of_range "logits position out of range" when position >= width.
std::uint32_t argmaxToken(const Tensor& logits, std::uint64_t position);

using ForwardTrace = std::function<void(std::string_view name, const Tensor& tensor)>;

struct ForwardOptions {
    bool double_precision = true;
    ForwardTrace trace;  // empty: no tracing
    bool compute_logits = true;
    // Bound on forwardWorkingBytes for the pass, refused before anything is computed; empty:
    // no limit.
    std::optional<std::uint64_t> max_working_bytes = std::nullopt;
    // Threads the pass may use: 0 is one per hardware thread, more than 256 is 256. Results do
    // not depend on it.
    std::uint32_t threads = 0;
};

// The input checks transformerForward runs first, in their fixed order.
void validateForwardInputs(const TransformerSpec& spec, const TransformerWeights& weights,
                           const TokenBatch& tokens);

// A bound, in bytes (8 per value), on what the full pass holds at once in its own tensors: the
// residual stream, plus the larger of everything one layer allocates (attention scores and
// probabilities {batch, query_heads, width, width} among it, whatever the lengths) and the
// logits stage. Does not check its arguments; a count beyond 64 bits gives 2^64 - 1.
std::uint64_t forwardWorkingBytes(const TransformerSpec& spec, const TokenBatch& tokens,
                                  const ForwardOptions& options);

// Logits {batch, width, vocabulary}, or the absent tensor when compute_logits is false. After
// the input checks, a pass whose working memory exceeds max_working_bytes throws
// std::invalid_argument "transformer forward exceeds working memory budget".
Tensor transformerForward(const TransformerSpec& spec, const TransformerWeights& weights,
                          const TokenBatch& tokens, const ForwardOptions& options);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
