#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/kv/session.hpp"
#include "tarvel/model/forward.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// One step: computes the chunk's positions against the session's cache and returns their
// logits with the statistics after the step. All checks, the computation, the new prefix and
// the observer come first; only then is the session changed, by moves that cannot fail. Any
// failure leaves the session exactly as it was.
TransformerKvStep forwardCached(const TokenBatch& chunk, TransformerKvSession& session,
                                const TransformerKvOptions& options);

// One session's part of a batched step: the session and the tokens it is fed.
struct TransformerKvBatchItem {
    TransformerKvSession* session = nullptr;
    TokenBatch chunk;
};

// Advances every item's session by its chunk in one pass: each projection reads its weight
// once for the rows of every session together, while attention, the cache and the rotary
// positions stay each session's own. Every projection sum is a row's own, so each session ends
// with the cache and gets the logits (options.logits selecting them per item) that
// forwardCached gives it stepped alone, bit for bit, whatever else is in the batch and however
// many threads run. Returns one step per item, in order; the observer is called once per item,
// in order, after everything is computed and before any session changes. The items' sessions
// must be distinct and share one model. Checks come first: TransformerKvError invalid_input
// "KV batch holds no sessions", "KV batch session is missing", "KV batch sessions do not share
// one model", "KV batch holds a session twice", then "session step in progress" for each
// session, then forwardCached's checks item by item. Any failure leaves every session exactly
// as it was.
std::vector<TransformerKvStep> forwardCachedBatch(std::span<const TransformerKvBatchItem> items,
                                                  const TransformerKvOptions& options);

// The step's precondition checks, in order; throws TransformerKvError at the first fault.
void validateKvStep(const TokenBatch& chunk, const TransformerKvSession& session);

// Throws TransformerKvError invalid_state "<name> shape does not match session" unless the
// tensor has exactly the expected shape.
void requireSessionShape(const Tensor& tensor, std::span<const std::uint64_t> expected,
                         const char* name);
inline void requireSessionShape(const Tensor& tensor, std::initializer_list<std::uint64_t> expected,
                                const char* name) {
    requireSessionShape(tensor, std::span<const std::uint64_t>(expected.begin(), expected.size()),
                        name);
}

// The step's own projection: what linear computes, with the session's errors and checks.
Tensor cachedLinear(const Tensor& input, const Tensor& weight, std::uint64_t rows,
                    std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision);

// {1, P + n, kv_heads, head_dim}: the old cache (if any) followed by the chunk's rows, copied
// as they are.
Tensor appendKv(const Tensor* old, const Tensor& rows, std::uint64_t previous, std::uint64_t n,
                std::uint64_t kv_heads, std::uint64_t head_dim, bool double_precision);

// Causal grouped attention of the chunk's queries over every cached position; {n, hq * hd}.
Tensor cachedAttention(const Tensor& query, const Tensor& keys, const Tensor& values,
                       std::uint64_t previous, std::uint64_t n, std::uint64_t query_heads,
                       std::uint64_t kv_heads, std::uint64_t head_dim, bool double_precision);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
