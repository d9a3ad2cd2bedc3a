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

// Causal scaled dot-product attention over a padded batch; multi-head or grouped-query.
AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::uint64_t batch, std::uint64_t seq, std::uint64_t query_heads,
                          std::uint64_t kv_heads, std::uint64_t head_dim,
                          const std::vector<std::uint64_t>& lengths, bool double_precision);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
