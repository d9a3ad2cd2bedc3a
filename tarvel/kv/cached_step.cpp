#include "tarvel/kv/cached_step.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "tarvel/core/value_check.hpp"
#include "tarvel/kv/accounting.hpp"
#include "tarvel/kv/kv_error.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/ops/rms_norm.hpp"
#include "tarvel/ops/rope.hpp"

namespace Nuvexis::Core::Tarvel {

namespace {

[[noreturn]] void refuse(TransformerKvErrorKind kind, const char* message) {
    throw TransformerKvError(kind, message);
}

struct StepResult {
    Tensor logits;
    std::vector<Tensor> cache;
};

// Everything a step computes, in fresh storage. Reads the session; writes nothing to it.
StepResult computeStep(const TokenBatch& chunk, const TransformerKvSession& session, bool flag) {
    const TransformerModel& model = *session.model();
    const TransformerSpec& spec = model.spec();
    const TransformerWeights& weights = model.weights();
    const std::uint64_t previous = session.position();
    const std::uint64_t n = chunk.width;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t hq = spec.query_heads;
    const std::uint64_t hkv = spec.kv_heads;
    const std::uint64_t hd = spec.head_dim;
    const double epsilon = spec.normalization.epsilon;

    StepResult result;
    Tensor x({n, d}, 0.0, flag);
    for (std::uint64_t t = 0; t < n; ++t) {
        const std::uint64_t id = chunk.tokens[static_cast<std::size_t>(t)];
        for (std::uint64_t c = 0; c < d; ++c) {
            at(x, {t, c}) = checkCachedValue(at(weights.token_embedding, {id, c}), flag);
        }
    }

    result.cache.reserve(2 * static_cast<std::size_t>(spec.layers));
    for (std::uint64_t l = 0; l < spec.layers; ++l) {
        const LayerWeights& w = weights.layers[static_cast<std::size_t>(l)];
        Tensor h = rmsNorm(x, w.attention_norm, n, d, epsilon, flag);
        Tensor q = cachedLinear(h, w.query, n, d, hq * hd, flag);
        Tensor k = cachedLinear(h, w.key, n, d, hkv * hd, flag);
        Tensor v = cachedLinear(h, w.value, n, d, hkv * hd, flag);
        applyRope(q, k, 1, n, hq, hkv, hd, spec.position.rope_base, previous, flag);
        const std::vector<Tensor>& cache = session.cache();
        const Tensor* old_keys = previous != 0 ? &cache[static_cast<std::size_t>(2 * l)] : nullptr;
        const Tensor* old_values =
            previous != 0 ? &cache[static_cast<std::size_t>(2 * l + 1)] : nullptr;
        Tensor keys = appendKv(old_keys, k, previous, n, hkv, hd, flag);
        Tensor values = appendKv(old_values, v, previous, n, hkv, hd, flag);
        const Tensor a = cachedAttention(q, keys, values, previous, n, hq, hkv, hd, flag);
        const Tensor o = cachedLinear(a, w.attention_output, n, hq * hd, d, flag);
        for (std::size_t i = 0; i < x.data.size(); ++i) {
            x.data[i] = checkCachedValue(x.data[i] + o.data[i], flag);
        }
        h = rmsNorm(x, w.ffn_norm, n, d, epsilon, flag);
        const Tensor f = feedForward(h, w.ffn_gate, w.ffn_up, w.ffn_down, n, d, spec.ffn_dim,
                                     spec.feed_forward, flag);
        for (std::size_t i = 0; i < x.data.size(); ++i) {
            x.data[i] = checkCachedValue(f.data[i] + x.data[i], flag);
        }
        result.cache.push_back(std::move(keys));
        result.cache.push_back(std::move(values));
    }

    const Tensor xf = rmsNorm(x, weights.final_norm, n, d, epsilon, flag);
    const Tensor& unembedding =
        spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
    result.logits = cachedLinear(xf, unembedding, n, d, spec.vocabulary, flag);
    result.logits.shape = {1, n, spec.vocabulary};  // same elements, one batch row
    return result;
}

}  // namespace

void requireSessionShape(const Tensor& tensor, std::span<const std::uint64_t> expected,
                         const char* name) {
    bool same = tensor.shape.size() == expected.size();
    for (std::size_t a = 0; same && a < expected.size(); ++a) same = tensor.shape[a] == expected[a];
    if (!same) {
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
    Tensor result({1, previous + n, kv_heads, head_dim}, 0.0, double_precision);
    if (old != nullptr && previous > 0) {
        for (std::uint64_t p = 0; p < previous; ++p) {
            for (std::uint64_t h = 0; h < kv_heads; ++h) {
                for (std::uint64_t c = 0; c < head_dim; ++c) {
                    at(result, {0, p, h, c}) = at(*old, {0, p, h, c});
                }
            }
        }
    }
    for (std::uint64_t t = 0; t < n; ++t) {
        for (std::uint64_t h = 0; h < kv_heads; ++h) {
            for (std::uint64_t c = 0; c < head_dim; ++c) {
                at(result, {0, previous + t, h, c}) = at(rows, {t, h * head_dim + c});
            }
        }
    }
    return result;
}

Tensor cachedAttention(const Tensor& query, const Tensor& keys, const Tensor& values,
                       std::uint64_t previous, std::uint64_t n, std::uint64_t query_heads,
                       std::uint64_t kv_heads, std::uint64_t head_dim, bool double_precision) {
    Tensor out({n, query_heads * head_dim}, 0.0, double_precision);
    const double scale = 1.0 / std::sqrt(static_cast<double>(head_dim));
    std::vector<double> scratch(static_cast<std::size_t>(previous + n));
    const std::uint64_t group = query_heads / kv_heads;
    for (std::uint64_t t = 0; t < n; ++t) {
        const std::uint64_t visible = previous + t + 1;
        for (std::uint64_t h = 0; h < query_heads; ++h) {
            const std::uint64_t g = h / group;
            double max = -std::numeric_limits<double>::infinity();
            for (std::uint64_t j = 0; j < visible; ++j) {
                double s = 0.0;
                for (std::uint64_t c = 0; c < head_dim; ++c) {
                    s = s + at(query, {t, h * head_dim + c}) * at(keys, {0, j, g, c});
                }
                s = s * scale;
                s = checkCachedValue(s, double_precision);
                scratch[static_cast<std::size_t>(j)] = s;
                if (s > max) max = s;
            }
            double z = 0.0;
            for (std::uint64_t j = 0; j < visible; ++j) {
                z = z + std::exp(scratch[static_cast<std::size_t>(j)] - max);
            }
            for (std::uint64_t j = 0; j < visible; ++j) {
                double p = std::exp(scratch[static_cast<std::size_t>(j)] - max) / z;
                p = checkCachedValue(p, double_precision);
                for (std::uint64_t c = 0; c < head_dim; ++c) {
                    double& acc = at(out, {t, h * head_dim + c});
                    acc = acc + at(values, {0, j, g, c}) * p;
                }
            }
            for (std::uint64_t c = 0; c < head_dim; ++c) {
                double& acc = at(out, {t, h * head_dim + c});
                acc = checkCachedValue(acc, double_precision);
            }
        }
    }
    return out;
}

TransformerKvStep forwardCached(const TokenBatch& chunk, TransformerKvSession& session,
                                const TransformerKvOptions& options) {
    const TransformerSpec& spec = session.model()->spec();
    StepResult computed;
    try {
        validateKvStep(chunk, session);
        const std::uint64_t after = session.position() + chunk.width;
        const std::uint64_t required = detail::kvCheckedMultiply(kvBytesPerToken(spec), after);
        if (required > options.max_cache_bytes) {
            refuse(TransformerKvErrorKind::resource_limit,
                   "KV cache exceeds configured byte limit");
        }
        computed = computeStep(chunk, session, options.double_precision);
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

    const TransformerKvStats stats = detail::kvStatsFor(spec, session.position() + chunk.width);
    if (options.observer) options.observer(stats);

    // Commit. Each operation re-examines conditions that hold by construction and only moves
    // storage, so none of them can fail here.
    session.setTokenPrefix(std::move(prefix));
    session.setCache(std::move(computed.cache));
    session.advancePosition(chunk.width);
    return TransformerKvStep{std::move(computed.logits), stats};
}

}  // namespace Nuvexis::Core::Tarvel
