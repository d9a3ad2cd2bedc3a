#pragma once

#include <cstdint>

#include "tarvel/export.hpp"
#include "tarvel/kv/session.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Bytes of one cached scalar as the spec declares it: f32 4, f16 and bf16 2. Any other code
// throws TransformerKvError invalid_input "unknown KV dtype".
std::uint64_t kvElementSize(DType dtype);

// 2 * layers * kv_heads * head_dim * element size: one position across all layers, keys and
// values. Every product is checked; overflow throws resource_limit "KV cache size overflows".
std::uint64_t kvBytesPerToken(const TransformerSpec& spec);

// Statistics of the session as it stands.
TransformerKvStats kvStats(const TransformerKvSession& session);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
