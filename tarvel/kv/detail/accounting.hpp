#pragma once

#include <cstdint>

#include "tarvel/kv/session.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Statistics of a cache holding `tokens` positions of a model with this spec.
TransformerKvStats kvStatsFor(const TransformerSpec& spec, std::uint64_t tokens);
// a * b under the cache accounting's overflow rule.
std::uint64_t kvCheckedMultiply(std::uint64_t a, std::uint64_t b);

}  // namespace Nuvexis::Core::Tarvel::detail
