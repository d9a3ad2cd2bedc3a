#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

struct AttentionResult {
    Tensor scores;         // {batch, query_heads, seq, seq}
    Tensor probabilities;  // {batch, query_heads, seq, seq}
    Tensor output;         // {batch * seq, query_heads * head_dim}
};

// How scores are formed and which positions a query sees. The defaults are the plain causal
// attention's: scale 1 / sqrt(head_dim), no cap, every earlier position.
struct AttentionScoring {
    double score_scalar = 0.0;  // non-zero: scores are scaled by 1 / sqrt(score_scalar)
    double softcap = 0.0;       // non-zero: each scaled score s becomes softcap * tanh(s / softcap)
    std::uint64_t window = 0;   // non-zero: query i sees key positions j with i - window < j <= i
};

// Causal scaled dot-product attention over a padded batch; multi-head or grouped-query.
AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::uint64_t batch, std::uint64_t seq, std::uint64_t query_heads,
                          std::uint64_t kv_heads, std::uint64_t head_dim,
                          const std::vector<std::uint64_t>& lengths, bool double_precision);

// The same with scores formed as `scoring` says; positions outside the window are, like those
// after the query, 0.0 in scores and probabilities. After the checks above, a negative, NaN or
// infinite score_scalar or softcap throws std::invalid_argument "attention scoring is invalid".
AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::uint64_t batch, std::uint64_t seq, std::uint64_t query_heads,
                          std::uint64_t kv_heads, std::uint64_t head_dim,
                          const std::vector<std::uint64_t>& lengths,
                          const AttentionScoring& scoring, bool double_precision);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
