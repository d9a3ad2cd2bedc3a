#include "tarvel/kv/accounting.hpp"

#include <optional>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/kv/detail/accounting.hpp"
#include "tarvel/kv/kv_error.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace detail {

std::uint64_t kvCheckedMultiply(std::uint64_t a, std::uint64_t b) {
    const std::optional<std::uint64_t> product = checkedProduct(a, b);
    if (!product) {
        throw TransformerKvError(TransformerKvErrorKind::resource_limit, "KV cache size overflows");
    }
    return *product;
}

TransformerKvStats kvStatsFor(const TransformerSpec& spec, std::uint64_t tokens) {
    TransformerKvStats stats;
    const std::uint64_t per_head = kvCheckedMultiply(spec.head_dim, tokens);
    std::uint64_t heads = kvCheckedMultiply(2, spec.layers);
    heads = kvCheckedMultiply(heads, spec.kv_heads);
    stats.cached_values = kvCheckedMultiply(heads, per_head);
    stats.used_bytes = kvCheckedMultiply(kvBytesPerToken(spec), tokens);
    stats.reserved_bytes = stats.used_bytes;
    // The cache holds exactly what it needs, so no ratio is computed.
    stats.utilization = stats.reserved_bytes != 0 ? 1.0 : 0.0;
    stats.tokens = tokens;
    return stats;
}

}  // namespace detail

std::uint64_t kvElementSize(DType dtype) {
    switch (dtype) {
        case DType::f32:
            return 4;
        case DType::f16:
        case DType::bf16:
            return 2;
    }
    throw TransformerKvError(TransformerKvErrorKind::invalid_input, "unknown KV dtype");
}

std::uint64_t kvBytesPerToken(const TransformerSpec& spec) {
    std::uint64_t bytes = detail::kvCheckedMultiply(2, spec.layers);
    bytes = detail::kvCheckedMultiply(bytes, spec.kv_heads);
    bytes = detail::kvCheckedMultiply(bytes, spec.head_dim);
    return detail::kvCheckedMultiply(bytes, kvElementSize(spec.precision.kv_cache));
}

TransformerKvStats kvStats(const TransformerKvSession& session) {
    return detail::kvStatsFor(session.model()->spec(), session.position());
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
