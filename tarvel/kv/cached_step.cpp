#include "tarvel/kv/cached_step.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/kv/accounting.hpp"
#include "tarvel/kv/detail/accounting.hpp"
#include "tarvel/kv/kv_error.hpp"
#include "tarvel/model/detail/block.hpp"
#include "tarvel/model/detail/packed_weights.hpp"
#include "tarvel/ops/detail/attention_core.hpp"
#include "tarvel/ops/detail/projection.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/ops/rms_norm.hpp"
#include "tarvel/ops/rope.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

[[noreturn]] void refuse(TransformerKvErrorKind kind, const char* message) {
    throw TransformerKvError(kind, message);
}

// Marks a session as in a step for as long as the step runs, however it ends.
class StepMark {
  public:
    explicit StepMark(bool& active) noexcept : active_(active) { active_ = true; }
    ~StepMark() { active_ = false; }
    StepMark(const StepMark&) = delete;
    StepMark& operator=(const StepMark&) = delete;

  private:
    bool& active_;
};

// What a step hands to its commit. From an empty cache, `cache` is the whole new cache; from a
// filled one, `rows` holds each cache tensor's new rows {n, kv_heads * head_dim}, in cache order,
// to be appended in storage the step has already reserved.
struct StepResult {
    Tensor logits;
    std::vector<Tensor> cache;
    std::vector<Tensor> rows;
};

// cachedLinear over a packed weight, with the same checks and messages.
Tensor cachedLinear(const Tensor& input, const detail::PackedTensor& weight, std::uint64_t rows,
                    std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    requireSessionShape(input, {rows, in_dim}, "linear input");
    const std::uint64_t shape[] = {out_dim, in_dim};
    if (!detail::hasShape(weight, shape)) {
        throw TransformerKvError(TransformerKvErrorKind::invalid_state,
                                 "linear weight shape does not match session");
    }
    Tensor result({rows, out_dim}, 0.0, double_precision);
    detail::project<checkCachedValue>(input, weight, result, rows, in_dim, out_dim,
                                      double_precision);
    return result;
}

// Grows each cache tensor's storage, values and length untouched, so that `after` positions fit
// without a reallocation: the commit then appends without allocating. Capacity doubles (up to
// the context), so a session decoding token by token copies its cache a bounded number of times
// instead of once per step. A failed reservation leaves the tensor as it was.
void reserveCache(std::vector<Tensor>& cache, const TransformerSpec& spec, std::uint64_t after) {
    const std::uint64_t row = std::uint64_t{spec.kv_heads} * spec.head_dim;
    for (Tensor& tensor : cache) {
        std::vector<double>& data = tensor.data;
        const std::uint64_t needed = after * row;  // within the byte limit checked before
        if (data.capacity() >= needed) continue;
        std::uint64_t positions = std::max<std::uint64_t>(after, 2 * (data.capacity() / row));
        positions = std::min<std::uint64_t>(positions, spec.context);
        const std::optional<std::uint64_t> count = detail::checkedProduct(positions, row);
        const std::uint64_t target = count && *count <= data.max_size() ? *count : needed;
        if (target > data.max_size()) throw std::length_error("vector too long");
        data.reserve(static_cast<std::size_t>(target));
    }
}

// Causal grouped attention of the chunk's queries {n, hq * hd} over positions
// 0 .. previous + n - 1, whose keys and values for KV head g are the head_dim values at
// key_row(j, g) and value_row(j, g); the caller has checked the shapes those rows lie in.
// {n, hq * hd}.
template <typename KeyRow, typename ValueRow>
Tensor attendChunk(const Tensor& query, std::uint64_t previous, std::uint64_t n,
                   std::uint64_t query_heads, std::uint64_t kv_heads, std::uint64_t head_dim,
                   const AttentionScoring& scoring, bool double_precision, KeyRow&& key_row,
                   ValueRow&& value_row) {
    detail::restateShape(query, {n, query_heads * head_dim});
    Tensor out({n, query_heads * head_dim}, 0.0, double_precision);
    // Query rows and heads are split over the threads; each piece allocates its own scores
    // and their exponentials.
    const auto positions = static_cast<std::size_t>(previous + n);
    const std::uint64_t group = query_heads / kv_heads;
    const std::uint64_t row_work = std::max<std::uint64_t>(2 * (previous + n) * head_dim, 1);
    const detail::RowScoring row_scoring{detail::scoreScale(scoring.score_scalar, head_dim),
                                         scoring.softcap};
    // Windowed or not is decided once for the call, and parallelFor is handed the work of that
    // form itself.
    const auto rowsOf = [&](auto windowed) {
        constexpr bool Windowed = decltype(windowed)::value;
        return [&](std::uint64_t begin, std::uint64_t end) TARVEL_ATTENTION_ROWS {
            std::vector<double> scores(positions);
            std::vector<double> exps(positions);
            for (std::uint64_t item = begin; item < end; ++item) {
                const std::uint64_t t = item / query_heads;
                const std::uint64_t h = item % query_heads;
                const std::uint64_t g = h / group;
                const std::uint64_t qcol = h * head_dim;
                double* out_row = out.data.data() + t * query_heads * head_dim + qcol;
                const std::uint64_t visible = previous + t + 1;
                detail::attendRow<checkCachedValue, Windowed>(
                    detail::firstVisible(visible, scoring.window), visible, head_dim, row_scoring,
                    double_precision, query.data.data() + t * query_heads * head_dim + qcol,
                    [&](std::uint64_t j) { return key_row(j, g); },
                    [&](std::uint64_t j) { return value_row(j, g); }, [](std::uint64_t, double) {},
                    [&](std::uint64_t c, double x) { out_row[c] = x; }, scores.data(), exps.data());
            }
        };
    };
    const std::uint64_t min_rows = std::max<std::uint64_t>((std::uint64_t{1} << 15) / row_work, 1);
    if (scoring.window != 0) {
        detail::parallelFor(n * query_heads, min_rows, rowsOf(std::true_type{}));
    } else {
        detail::parallelFor(n * query_heads, min_rows, rowsOf(std::false_type{}));
    }
    return out;
}

// Keeps a chunk's keys or values for the commit: as a cache tensor of its own when the cache
// starts empty, else as rows to append.
void keepRows(std::vector<Tensor>& kept, const Tensor& rows, std::uint64_t previous,
              std::uint64_t n, std::uint64_t kv_heads, std::uint64_t head_dim,
              bool double_precision) {
    Tensor copy;
    copy.shape = previous != 0 ? std::vector<std::uint64_t>{n, kv_heads * head_dim}
                               : std::vector<std::uint64_t>{1, n, kv_heads, head_dim};
    copy.data = rows.data;
    copy.double_precision = double_precision;
    kept.push_back(std::move(copy));
}

// A row slice [first, first + n) of a {rows, width} tensor, as a tensor of its own.
Tensor sliceRows(const Tensor& t, std::uint64_t first, std::uint64_t n, std::uint64_t width,
                 bool double_precision) {
    Tensor slice;
    slice.shape = {n, width};
    slice.double_precision = double_precision;
    const auto begin = t.data.begin() + static_cast<std::ptrdiff_t>(first * width);
    slice.data.assign(begin, begin + static_cast<std::ptrdiff_t>(n * width));
    return slice;
}

// What a step of one or several sessions computes, in fresh storage: one StepResult per item. The
// items' rows are stacked, session after session, into one {rows, model_dim} stream, so that each
// projection reads its weight once for all of them; the rotary table is each session's own
// positions, stacked the same way, and attention runs per session over its own cache. Every other
// operation of the block works row by row. Reads the sessions; writes nothing to them.
// One session and the chunk it is fed, as a batch's computation reads them.
struct BatchPart {
    const TransformerKvSession* session = nullptr;
    const TokenBatch* chunk = nullptr;
};

std::vector<StepResult> computeBatch(std::span<const BatchPart> items, bool flag,
                                     TransformerKvLogits logits) {
    const TransformerModel& model = *items[0].session->model();
    const TransformerSpec& spec = model.spec();
    const detail::PackedWeights& weights = model.packed_weights();
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t hq = spec.query_heads;
    const std::uint64_t hkv = spec.kv_heads;
    const std::uint64_t hd = spec.head_dim;
    const std::uint64_t q_width = hq * hd;
    const std::uint64_t kv_width = hkv * hd;
    const double epsilon = spec.normalization.epsilon;

    // first[i]: the item's first row in the stream; each width is within the context.
    std::vector<std::uint64_t> first(items.size() + 1, 0);
    for (std::size_t i = 0; i < items.size(); ++i) first[i + 1] = first[i] + items[i].chunk->width;
    const std::uint64_t rows = first.back();

    std::vector<StepResult> results(items.size());
    Tensor x({rows, d}, 0.0, flag);
    RopeTable rope;
    rope.positions = rows;
    rope.dim = hd;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TokenBatch& chunk = *items[i].chunk;
        for (std::uint64_t t = 0; t < chunk.width; ++t) {
            const std::uint64_t id = chunk.tokens[static_cast<std::size_t>(t)];
            double* row = x.data.data() + (first[i] + t) * d;
            detail::widenRun(weights.token_embedding, id * d, d, row);
            for (std::uint64_t c = 0; c < d; ++c) {
                row[c] = checkCachedValue(row[c] * spec.embedding_scale, flag);
            }
        }
        // A table's entries depend only on the absolute position they describe, so each
        // session's own table, stacked, rotates every row as its session alone would.
        const RopeTable own = detail::ropeTableFor(spec, chunk.width, items[i].session->position());
        rope.cos.insert(rope.cos.end(), own.cos.begin(), own.cos.end());
        rope.sin.insert(rope.sin.end(), own.sin.begin(), own.sin.end());
    }

    for (StepResult& result : results)
        result.rows.reserve(2 * static_cast<std::size_t>(spec.layers));
    for (std::uint64_t l = 0; l < spec.layers; ++l) {
        const auto attend = [&](const Tensor& q, const Tensor& k, const Tensor& v,
                                const AttentionScoring& scoring) {
            Tensor out({rows, q_width}, 0.0, flag);
            for (std::size_t i = 0; i < items.size(); ++i) {
                const TransformerKvSession& session = *items[i].session;
                const std::uint64_t previous = session.position();
                const std::uint64_t n = items[i].chunk->width;
                const std::uint64_t own = first[i];
                const Tensor absent;
                const Tensor& old_keys =
                    previous != 0 ? session.cache()[static_cast<std::size_t>(2 * l)] : absent;
                const Tensor& old_values =
                    previous != 0 ? session.cache()[static_cast<std::size_t>(2 * l + 1)] : absent;
                const auto row = [&](const Tensor& cached, const Tensor& fresh, std::uint64_t j,
                                     std::uint64_t g) {
                    return j < previous
                               ? cached.data.data() + (j * hkv + g) * hd
                               : fresh.data.data() + (own + j - previous) * kv_width + g * hd;
                };
                const Tensor part = attendChunk(
                    sliceRows(q, own, n, q_width, flag), previous, n, hq, hkv, hd, scoring, flag,
                    [&](std::uint64_t j, std::uint64_t g) { return row(old_keys, k, j, g); },
                    [&](std::uint64_t j, std::uint64_t g) { return row(old_values, v, j, g); });
                std::copy(part.data.begin(), part.data.end(),
                          out.data.begin() + static_cast<std::ptrdiff_t>(own * q_width));
                std::vector<Tensor>& grown = previous != 0 ? results[i].rows : results[i].cache;
                keepRows(grown, sliceRows(k, own, n, kv_width, flag), previous, n, hkv, hd, flag);
                keepRows(grown, sliceRows(v, own, n, kv_width, flag), previous, n, hkv, hd, flag);
            }
            return out;
        };
        const auto project = [&](const Tensor& input, const detail::PackedTensor& weight,
                                 std::uint64_t in_dim, std::uint64_t out_dim) {
            return cachedLinear(input, weight, rows, in_dim, out_dim, flag);
        };
        detail::transformerBlock<checkCachedValue>(x, weights.layers[static_cast<std::size_t>(l)],
                                                   spec, l, {1, rows, rope}, flag, project, attend,
                                                   [](const char*, const Tensor&) {});
    }

    // The rows whose logits are asked for, stacked: each item's last, or all of them.
    std::vector<std::uint64_t> kept(items.size() + 1, 0);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::uint64_t n = items[i].chunk->width;
        kept[i + 1] = kept[i] + (logits == TransformerKvLogits::last_position ? 1 : n);
    }
    Tensor selected;
    if (kept.back() == rows) {
        selected = std::move(x);
    } else {
        selected = Tensor({kept.back(), d}, 0.0, flag);
        for (std::size_t i = 0; i < items.size(); ++i) {
            const std::uint64_t last = first[i + 1] - 1;
            std::copy(x.data.begin() + static_cast<std::ptrdiff_t>(last * d),
                      x.data.begin() + static_cast<std::ptrdiff_t>((last + 1) * d),
                      selected.data.begin() + static_cast<std::ptrdiff_t>(kept[i] * d));
        }
    }
    const Tensor xf = rmsNorm(selected, weights.final_norm, kept.back(), d, epsilon, flag,
                              spec.normalization.unit_offset);
    const detail::PackedTensor& unembedding =
        spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
    Tensor all = cachedLinear(xf, unembedding, kept.back(), d, spec.vocabulary, flag);
    if (spec.logit_softcap != 0.0) {
        detail::softcap<checkCachedValue>(all.data, spec.logit_softcap, flag);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::uint64_t n = kept[i + 1] - kept[i];
        results[i].logits = sliceRows(all, kept[i], n, spec.vocabulary, flag);
        results[i].logits.shape = {1, n, spec.vocabulary};
    }
    return results;
}

// Marks every session of a batch as in a step for as long as the step runs.
class BatchMark {
  public:
    explicit BatchMark(std::vector<bool*> marks) noexcept : marks_(std::move(marks)) {
        for (bool* m : marks_) *m = true;
    }
    ~BatchMark() {
        for (bool* m : marks_) *m = false;
    }
    BatchMark(const BatchMark&) = delete;
    BatchMark& operator=(const BatchMark&) = delete;

  private:
    std::vector<bool*> marks_;
};

// Appends each tensor's rows and publishes the new length. Every tensor's storage already holds
// `after` positions, so no insert reallocates and nothing here can throw.
void appendReserved(std::vector<Tensor>& cache, std::vector<Tensor>& rows,
                    std::uint64_t after) noexcept {
    for (std::size_t i = 0; i < cache.size(); ++i) {
        Tensor& tensor = cache[i];
        tensor.data.insert(tensor.data.end(), rows[i].data.begin(), rows[i].data.end());
        tensor.shape[1] = after;
        tensor.double_precision = rows[i].double_precision;
    }
}

}  // namespace

void requireSessionShape(const Tensor& tensor, std::span<const std::uint64_t> expected,
                         const char* name) {
    if (!hasShape(tensor, expected)) {
        throw TransformerKvError(TransformerKvErrorKind::invalid_state,
                                 std::string(name) + " shape does not match session");
    }
}

void validateKvStep(const TokenBatch& chunk, const TransformerKvSession& session) {
    const TransformerSpec& spec = session.model()->spec();
    const std::uint64_t n = chunk.width;
    if (chunk.batch != 1 || n == 0 || chunk.tokens.size() != n ||
        (!chunk.lengths.empty() && (chunk.lengths.size() != 1 || chunk.lengths[0] != n))) {
        refuse(TransformerKvErrorKind::invalid_input,
               "KV runtime requires one dense relation per session");
    }
    for (const std::uint32_t id : chunk.tokens) {
        if (id >= spec.vocabulary) {
            refuse(TransformerKvErrorKind::invalid_input, "token id exceeds vocabulary");
        }
    }
    const std::uint64_t previous = session.position();
    if (previous != session.token_prefix().size()) {
        refuse(TransformerKvErrorKind::invalid_state, "session position and token prefix differ");
    }
    // position <= context holds for every session, so the difference cannot wrap.
    if (n > std::uint64_t{spec.context} - previous) {
        refuse(TransformerKvErrorKind::context_exceeded, "decode exceeds model context");
    }
    const std::uint64_t expected_tensors = previous != 0 ? 2 * std::uint64_t{spec.layers} : 0;
    if (session.cache().size() != expected_tensors) {
        refuse(TransformerKvErrorKind::invalid_state, "session KV layer count is invalid");
    }
    if (previous != 0) {
        for (std::uint64_t l = 0; l < spec.layers; ++l) {
            const std::uint64_t shape[] = {1, previous, spec.kv_heads, spec.head_dim};
            requireSessionShape(session.cache()[static_cast<std::size_t>(2 * l)], shape,
                                "cached key");
            requireSessionShape(session.cache()[static_cast<std::size_t>(2 * l + 1)], shape,
                                "cached value");
        }
    }
}

Tensor cachedLinear(const Tensor& input, const Tensor& weight, std::uint64_t rows,
                    std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    requireSessionShape(input, {rows, in_dim}, "linear input");
    requireSessionShape(weight, {out_dim, in_dim}, "linear weight");
    Tensor result({rows, out_dim}, 0.0, double_precision);
    detail::project<checkCachedValue>(input, weight, result, rows, in_dim, out_dim,
                                      double_precision);
    return result;
}

Tensor appendKv(const Tensor* old, const Tensor& rows, std::uint64_t previous, std::uint64_t n,
                std::uint64_t kv_heads, std::uint64_t head_dim, bool double_precision) {
    // Positions are outermost in both layouts, so the old cache followed by the chunk's rows,
    // each in storage order, is the grown cache in storage order: one copy of each into storage
    // reserved at its final size, with no zero fill before it.
    Tensor result;
    result.shape = {1, previous + n, kv_heads, head_dim};
    result.double_precision = double_precision;
    const std::uint64_t count = elementCount(result.shape);
    if (count > result.data.max_size()) throw std::length_error("vector too long");
    detail::restateShape(rows, {n, kv_heads * head_dim});
    result.data.reserve(static_cast<std::size_t>(count));
    if (old != nullptr && previous > 0) {
        detail::restateShape(*old, {1, previous, kv_heads, head_dim});
        result.data.insert(result.data.end(), old->data.begin(), old->data.end());
    } else {
        result.data.resize(static_cast<std::size_t>(previous * kv_heads * head_dim), 0.0);
    }
    result.data.insert(result.data.end(), rows.data.begin(), rows.data.end());
    return result;
}

Tensor cachedAttention(const Tensor& query, const Tensor& keys, const Tensor& values,
                       std::uint64_t previous, std::uint64_t n, std::uint64_t query_heads,
                       std::uint64_t kv_heads, std::uint64_t head_dim, bool double_precision) {
    // Handed tensors the step did not build, it still reads nothing past their storage.
    detail::restateShape(keys, {1, previous + n, kv_heads, head_dim});
    detail::restateShape(values, {1, previous + n, kv_heads, head_dim});
    const auto row = [&](const Tensor& cache, std::uint64_t j, std::uint64_t g) {
        return cache.data.data() + (j * kv_heads + g) * head_dim;
    };
    return attendChunk(
        query, previous, n, query_heads, kv_heads, head_dim, AttentionScoring{}, double_precision,
        [&](std::uint64_t j, std::uint64_t g) { return row(keys, j, g); },
        [&](std::uint64_t j, std::uint64_t g) { return row(values, j, g); });
}

TransformerKvStep forwardCached(const TokenBatch& chunk, TransformerKvSession& session,
                                const TransformerKvOptions& options) {
    // A step on a session already in a step could only come from that step's observer.
    session.refuseDuringStep();
    const StepMark mark(session.step_.active);
    const TransformerSpec& spec = session.model()->spec();
    StepResult computed;
    std::uint64_t after = 0;
    try {
        validateKvStep(chunk, session);
        if (options.logits != TransformerKvLogits::every_position &&
            options.logits != TransformerKvLogits::last_position) {
            refuse(TransformerKvErrorKind::invalid_input, "KV logits selection is invalid");
        }
        after = session.position() + chunk.width;
        const std::uint64_t required = detail::kvCheckedMultiply(kvBytesPerToken(spec), after);
        if (required > options.max_cache_bytes) {
            refuse(TransformerKvErrorKind::resource_limit,
                   "KV cache exceeds configured byte limit");
        }
        // Only the storage grows here, never the values or the length; the step's own rows are
        // appended by the commit.
        if (session.position() != 0) reserveCache(session.cache_, spec, after);
        detail::runWithThreads(options.threads, [&] {
            // A single step is a batch of one.
            const BatchPart part{&session, &chunk};
            computed = std::move(computeBatch(std::span<const BatchPart>(&part, 1),
                                              options.double_precision, options.logits)
                                     .front());
        });
    } catch (const std::bad_alloc&) {
        refuse(TransformerKvErrorKind::resource_limit, "KV cache allocation failed");
    }

    // A failure to copy the prefix propagates as it is; one while appending is the step's own.
    std::vector<std::uint32_t> prefix(session.token_prefix());
    try {
        prefix.insert(prefix.end(), chunk.tokens.begin(), chunk.tokens.end());
    } catch (const std::bad_alloc&) {
        refuse(TransformerKvErrorKind::resource_limit, "token prefix allocation failed");
    }

    const TransformerKvStats stats = detail::kvStatsFor(spec, after);
    if (options.observer) options.observer(stats);

    // Commit: moves, and appends into storage reserved above; nothing here can fail. The prefix
    // holds only checked ids and the cache only checked values, so neither is scanned again.
    session.token_prefix_ = std::move(prefix);
    if (computed.rows.empty()) {
        session.cache_ = std::move(computed.cache);
    } else {
        appendReserved(session.cache_, computed.rows, after);
    }
    session.position_ = after;
    return TransformerKvStep{std::move(computed.logits), stats};
}

std::vector<TransformerKvStep> forwardCachedBatch(std::span<const TransformerKvBatchItem> items,
                                                  const TransformerKvOptions& options) {
    if (items.empty()) refuse(TransformerKvErrorKind::invalid_input, "KV batch holds no sessions");
    for (const TransformerKvBatchItem& item : items) {
        if (item.session == nullptr) {
            refuse(TransformerKvErrorKind::invalid_input, "KV batch session is missing");
        }
    }
    const TransformerModel* model = items[0].session->model().get();
    for (const TransformerKvBatchItem& item : items) {
        if (item.session->model().get() != model) {
            refuse(TransformerKvErrorKind::invalid_input,
                   "KV batch sessions do not share one model");
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (items[i].session == items[j].session) {
                refuse(TransformerKvErrorKind::invalid_input, "KV batch holds a session twice");
            }
        }
    }
    for (const TransformerKvBatchItem& item : items) item.session->refuseDuringStep();
    std::vector<bool*> marks;
    marks.reserve(items.size());
    for (const TransformerKvBatchItem& item : items) marks.push_back(&item.session->step_.active);
    const BatchMark mark(std::move(marks));

    const TransformerSpec& spec = model->spec();
    std::vector<StepResult> computed;
    std::vector<std::uint64_t> after(items.size(), 0);
    try {
        for (std::size_t i = 0; i < items.size(); ++i) {
            const TransformerKvBatchItem& item = items[i];
            validateKvStep(item.chunk, *item.session);
            if (options.logits != TransformerKvLogits::every_position &&
                options.logits != TransformerKvLogits::last_position) {
                refuse(TransformerKvErrorKind::invalid_input, "KV logits selection is invalid");
            }
            after[i] = item.session->position() + item.chunk.width;
            const std::uint64_t required =
                detail::kvCheckedMultiply(kvBytesPerToken(spec), after[i]);
            if (required > options.max_cache_bytes) {
                refuse(TransformerKvErrorKind::resource_limit,
                       "KV cache exceeds configured byte limit");
            }
        }
        // Only the storage grows here, as in the single step.
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].session->position() != 0) {
                reserveCache(items[i].session->cache_, spec, after[i]);
            }
        }
        detail::runWithThreads(options.threads, [&] {
            std::vector<BatchPart> parts;
            parts.reserve(items.size());
            for (const TransformerKvBatchItem& item : items)
                parts.push_back({item.session, &item.chunk});
            computed = computeBatch(parts, options.double_precision, options.logits);
        });
    } catch (const std::bad_alloc&) {
        refuse(TransformerKvErrorKind::resource_limit, "KV cache allocation failed");
    }

    std::vector<std::vector<std::uint32_t>> prefixes;
    std::vector<TransformerKvStep> steps;
    try {
        prefixes.reserve(items.size());
        steps.reserve(items.size());
        for (const TransformerKvBatchItem& item : items) {
            std::vector<std::uint32_t> prefix;
            prefix.reserve(item.session->token_prefix().size() + item.chunk.tokens.size());
            prefix = item.session->token_prefix();
            prefix.insert(prefix.end(), item.chunk.tokens.begin(), item.chunk.tokens.end());
            prefixes.push_back(std::move(prefix));
        }
    } catch (const std::bad_alloc&) {
        refuse(TransformerKvErrorKind::resource_limit, "token prefix allocation failed");
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        steps.push_back(
            TransformerKvStep{std::move(computed[i].logits), detail::kvStatsFor(spec, after[i])});
    }
    if (options.observer) {
        for (const TransformerKvStep& step : steps) options.observer(step.stats);
    }

    // Commit, session by session: moves and appends into reserved storage, none of which fails.
    for (std::size_t i = 0; i < items.size(); ++i) {
        TransformerKvSession& session = *items[i].session;
        session.token_prefix_ = std::move(prefixes[i]);
        if (computed[i].rows.empty()) {
            session.cache_ = std::move(computed[i].cache);
        } else {
            appendReserved(session.cache_, computed[i].rows, after[i]);
        }
        session.position_ = after[i];
    }
    return steps;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
