#include "tarvel/model/forward.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/model/detail/block.hpp"
#include "tarvel/model/detail/packed_weights.hpp"
#include "tarvel/ops/attention.hpp"
#include "tarvel/ops/detail/projection.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/ops/rms_norm.hpp"
#include "tarvel/ops/rope.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

std::uint64_t sequenceLength(const TokenBatch& tokens, std::uint64_t b) {
    return tokens.lengths.empty() ? tokens.width : tokens.lengths[static_cast<std::size_t>(b)];
}

bool everySequenceFull(const TokenBatch& tokens) {
    for (std::uint64_t b = 0; b < tokens.batch; ++b) {
        if (sequenceLength(tokens, b) != tokens.width) return false;
    }
    return true;
}

void trace(const ForwardOptions& options, std::string_view name, const Tensor& tensor) {
    if (options.trace) options.trace(name, tensor);
}

void traceLayer(const ForwardOptions& options, std::uint64_t layer, const char* what,
                const Tensor& tensor) {
    if (options.trace) {
        options.trace("layer." + std::to_string(layer) + "." + what, tensor);
    }
}

template <typename Layer>
void requireLayerShapes(const TransformerSpec& spec, const Layer& w, std::uint64_t d,
                        std::uint64_t f, std::uint64_t q_width, std::uint64_t kv_width) {
    requireShape(w.attention_norm, {d}, "attention norm");
    requireShape(w.query, {q_width, d}, "query weight");
    requireShape(w.key, {kv_width, d}, "key weight");
    requireShape(w.value, {kv_width, d}, "value weight");
    requireShape(w.attention_output, {d, q_width}, "attention output weight");
    requireShape(w.ffn_norm, {d}, "feed-forward norm");
    requireShape(w.ffn_gate, {f, d}, "feed-forward gate weight");
    requireShape(w.ffn_up, {f, d}, "feed-forward up weight");
    requireShape(w.ffn_down, {d, f}, "feed-forward down weight");
    // The optional tensors, each only when its feature is on.
    const std::uint64_t hd = spec.head_dim;
    if (spec.attention.qkv_bias) {
        requireShape(w.query_bias, {q_width}, "query bias");
        requireShape(w.key_bias, {kv_width}, "key bias");
        requireShape(w.value_bias, {kv_width}, "value bias");
    }
    if (spec.attention.output_bias) requireShape(w.output_bias, {d}, "output bias");
    if (spec.attention.qk_norm) {
        requireShape(w.query_norm, {hd}, "query norm");
        requireShape(w.key_norm, {hd}, "key norm");
    }
    if (spec.normalization.post_attention) {
        requireShape(w.post_attention_norm, {d}, "post-attention norm");
    }
    if (spec.normalization.post_feed_forward) {
        requireShape(w.post_ffn_norm, {d}, "post-feed-forward norm");
    }
}

// logits[b, t, v] = sum over c ascending of E[v, c] * final[b * width + t, c], for positions
// inside their sequence only; padding stays 0.0. The positions' rows are gathered (all of them,
// without a copy, when no sequence is padded) and projected with the shared kernel.
template <typename Embedding>
Tensor projectLogits(const Embedding& embedding, const Tensor& final_hidden,
                     const TokenBatch& tokens, std::uint64_t vocabulary, std::uint64_t d,
                     bool double_precision) {
    const std::uint64_t rows = tokens.batch * tokens.width;
    if (everySequenceFull(tokens)) {
        Tensor logits({rows, vocabulary}, 0.0, double_precision);
        detail::project<checkForwardValue>(final_hidden, embedding, logits, rows, d, vocabulary,
                                           double_precision);
        logits.shape = {tokens.batch, tokens.width, vocabulary};
        return logits;
    }
    Tensor logits({tokens.batch, tokens.width, vocabulary}, 0.0, double_precision);
    std::vector<std::uint64_t> positions;  // rows of final_hidden inside their sequence
    // Reserved at its final size, so that it never holds more than the working memory counts.
    std::uint64_t real = 0;
    for (std::uint64_t b = 0; b < tokens.batch; ++b) real += sequenceLength(tokens, b);
    positions.reserve(static_cast<std::size_t>(real));
    for (std::uint64_t b = 0; b < tokens.batch; ++b) {
        const std::uint64_t len = sequenceLength(tokens, b);
        for (std::uint64_t t = 0; t < len; ++t) positions.push_back(b * tokens.width + t);
    }
    if (positions.empty()) return logits;
    const std::uint64_t count = positions.size();
    Tensor gathered({count, d}, 0.0, double_precision);
    for (std::uint64_t p = 0; p < count; ++p) {
        for (std::uint64_t c = 0; c < d; ++c) {
            at(gathered, {p, c}) = at(final_hidden, {positions[p], c});
        }
    }
    Tensor projected({count, vocabulary}, 0.0, double_precision);
    detail::project<checkForwardValue>(gathered, embedding, projected, count, d, vocabulary,
                                       double_precision);
    for (std::uint64_t p = 0; p < count; ++p) {
        const std::uint64_t b = positions[p] / tokens.width;
        const std::uint64_t t = positions[p] % tokens.width;
        for (std::uint64_t v = 0; v < vocabulary; ++v) {
            at(logits, {b, t, v}) = at(projected, {p, v});
        }
    }
    return logits;
}

}  // namespace

std::uint64_t forwardWorkingBytes(const TransformerSpec& spec, const TokenBatch& tokens,
                                  const ForwardOptions& options) {
    const auto mul = detail::saturatingProduct;
    const auto add = detail::saturatingSum;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    const std::uint64_t vocabulary = spec.vocabulary;
    const std::uint64_t q_width = mul(spec.query_heads, spec.head_dim);
    const std::uint64_t kv_width = mul(spec.kv_heads, spec.head_dim);
    const std::uint64_t rows = mul(tokens.batch, tokens.width);

    // One layer, at the larger of its two peaks. While attending: the norm's output, queries,
    // keys, values and the attention output per row, one projection's interleaved copy of its
    // input, the rotary table, and scores with probabilities. While in the feed-forward block
    // (the scores are gone by then, the block's other tensors are not): the norm's output and
    // the block's result (2d), queries, keys, values and the attention output (2q + 2kv), up,
    // gate and activation (3f) and one interleaved copy.
    const std::uint64_t scores =
        mul(mul(tokens.batch, spec.query_heads), mul(tokens.width, tokens.width));
    const std::uint64_t widest = std::max({d, q_width, f});
    const std::uint64_t block_tensors = add(mul(2, q_width), mul(2, kv_width));
    const std::uint64_t attending = add(add(mul(2, scores), mul(tokens.width, spec.head_dim)),
                                        mul(rows, add(add(d, block_tensors), widest)));
    const std::uint64_t feeding =
        mul(rows, add(add(mul(2, d), block_tensors), add(mul(3, f), widest)));
    const std::uint64_t layer = std::max(attending, feeding);

    // After the layers: the final norm's output and, when asked for, the logits, projected
    // from an interleaved copy of all rows or, in a padded batch, from the gathered rows of the
    // real positions (with their list, their copy and their own logits).
    bool padded = false;
    std::uint64_t real = 0;
    for (const std::uint64_t length : tokens.lengths) {
        padded = padded || length != tokens.width;
        real = add(real, length);
    }
    std::uint64_t final_stage = mul(rows, d);
    if (options.compute_logits && !padded) {
        final_stage = mul(rows, add(mul(2, d), vocabulary));
    } else if (options.compute_logits) {
        final_stage =
            add(mul(rows, add(d, vocabulary)), mul(real, add(add(1, mul(2, d)), vocabulary)));
    }
    // The residual stream lives throughout.
    return mul(8, add(mul(rows, d), std::max(layer, final_stage)));
}

namespace {

// The token embedding's row `token` of a tensor already demanded {V, d}: in place, or widened
// into `widened` in one run (a block-quantized row is widened block by block, not value by
// value).
const double* embeddingRow(const Tensor& embedding, std::uint64_t token, std::uint64_t,
                           std::vector<double>&) {
    return &embedding.data[static_cast<std::size_t>(flatIndex(embedding.shape, {token, 0}))];
}
const double* embeddingRow(const detail::PackedTensor& embedding, std::uint64_t token,
                           std::uint64_t d, std::vector<double>& widened) {
    widened.resize(static_cast<std::size_t>(d));
    detail::widenRun(embedding, token * d, d, widened.data());
    return widened.data();
}

template <typename Weights>
void validateInputs(const TransformerSpec& spec, const Weights& weights, const TokenBatch& tokens) {
    if (!validateSpec(spec).empty()) {
        throw std::invalid_argument("transformer forward received invalid spec");
    }
    if (tokens.batch == 0 || tokens.width == 0 || tokens.width > spec.context) {
        throw std::invalid_argument("token batch dimensions are invalid");
    }
    // A product beyond 64 bits cannot equal any storage size.
    const std::optional<std::uint64_t> positions =
        detail::checkedProduct(tokens.batch, tokens.width);
    if (!positions || tokens.tokens.size() != *positions) {
        throw std::invalid_argument("token batch storage does not match shape");
    }
    if (!tokens.lengths.empty() && tokens.lengths.size() != tokens.batch) {
        throw std::invalid_argument("token batch lengths do not match batch size");
    }
    for (std::uint64_t b = 0; b < tokens.batch; ++b) {
        const std::uint64_t len = sequenceLength(tokens, b);
        if (len > tokens.width) throw std::invalid_argument("sequence length exceeds batch width");
        // Padding beyond the length is never read, so its ids are not examined.
        for (std::uint64_t t = 0; t < len; ++t) {
            if (tokens.tokens[static_cast<std::size_t>(b * tokens.width + t)] >= spec.vocabulary) {
                throw std::out_of_range("token id exceeds vocabulary");
            }
        }
    }
    const std::uint64_t vocabulary = spec.vocabulary;
    const std::uint64_t d = spec.model_dim;
    requireShape(weights.token_embedding, {vocabulary, d}, "token embedding");
    requireShape(weights.final_norm, {d}, "final norm");
    if (weights.layers.size() != spec.layers) {
        throw std::invalid_argument("weight layer count mismatch");
    }
    if (!spec.tied_embeddings) {
        requireShape(weights.output_embedding, {vocabulary, d}, "output embedding");
    }
}

template <typename Weights>
Tensor forwardPass(const TransformerSpec& spec, const Weights& weights, const TokenBatch& tokens,
                   const ForwardOptions& options) {
    validateInputs(spec, weights, tokens);
    if (options.max_working_bytes &&
        forwardWorkingBytes(spec, tokens, options) > *options.max_working_bytes) {
        throw std::invalid_argument("transformer forward exceeds working memory budget");
    }

    const bool dp = options.double_precision;
    const std::uint64_t vocabulary = spec.vocabulary;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    const std::uint64_t hq = spec.query_heads;
    const std::uint64_t hkv = spec.kv_heads;
    const std::uint64_t hd = spec.head_dim;
    const std::uint64_t q_width = hq * hd;
    const std::uint64_t kv_width = hkv * hd;
    const std::uint64_t rows = tokens.batch * tokens.width;
    const double epsilon = spec.normalization.epsilon;
    const double embedding_scale = spec.embedding_scale;

    Tensor hidden({rows, d}, 0.0, dp);
    std::vector<double> widened;
    for (std::uint64_t b = 0; b < tokens.batch; ++b) {
        const std::uint64_t len = sequenceLength(tokens, b);
        for (std::uint64_t t = 0; t < len; ++t) {
            const std::uint64_t row = b * tokens.width + t;
            const std::uint64_t token = tokens.tokens[static_cast<std::size_t>(row)];
            const double* embedding = embeddingRow(weights.token_embedding, token, d, widened);
            for (std::uint64_t c = 0; c < d; ++c) {
                // A scale of 1 changes no bit of the embedding.
                at(hidden, {row, c}) = checkForwardValue(embedding[c] * embedding_scale, dp);
            }
        }
    }
    trace(options, "embedding", hidden);

    const RopeTable rope = detail::ropeTableFor(spec, tokens.width, 0);
    for (std::uint64_t l = 0; l < spec.layers; ++l) {
        const auto& w = weights.layers[static_cast<std::size_t>(l)];
        requireLayerShapes(spec, w, d, f, q_width, kv_width);
        const auto project = [&](const Tensor& input, const auto& weight, std::uint64_t in_dim,
                                 std::uint64_t out_dim) {
            return linear(input, weight, rows, in_dim, out_dim, dp, LinearVariant::forward);
        };
        // Causal attention within each sequence of the batch: the one way the full pass's block
        // differs from the cached step's.
        const auto attend = [&](const Tensor& q, const Tensor& k, const Tensor& v,
                                const AttentionScoring& scoring) {
            AttentionResult att = attention(q, k, v, tokens.batch, tokens.width, hq, hkv, hd,
                                            tokens.lengths, scoring, dp);
            traceLayer(options, l, "scores", att.scores);
            traceLayer(options, l, "probabilities", att.probabilities);
            traceLayer(options, l, "attention", att.output);
            return std::move(att.output);
        };
        detail::transformerBlock<checkForwardValue>(
            hidden, w, spec, l, {tokens.batch, tokens.width, rope}, dp, project, attend,
            [&](const char* name, const Tensor& tensor) { traceLayer(options, l, name, tensor); });
    }

    const Tensor final_hidden =
        rmsNorm(hidden, weights.final_norm, rows, d, epsilon, dp, spec.normalization.unit_offset);
    trace(options, "final_norm", final_hidden);
    if (!options.compute_logits) return Tensor();

    // With tied embeddings the output embedding is neither demanded nor read.
    const auto& embedding =
        spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
    Tensor logits = projectLogits(embedding, final_hidden, tokens, vocabulary, d, dp);
    // Padded positions stay 0.0: cap * tanh(0 / cap) is 0.
    if (spec.logit_softcap != 0.0) {
        detail::softcap<checkForwardValue>(logits.data, spec.logit_softcap, dp);
    }
    trace(options, "logits", logits);
    return logits;
}

}  // namespace

void validateForwardInputs(const TransformerSpec& spec, const TransformerWeights& weights,
                           const TokenBatch& tokens) {
    validateInputs(spec, weights, tokens);
}

Tensor transformerForward(const TransformerSpec& spec, const TransformerWeights& weights,
                          const TokenBatch& tokens, const ForwardOptions& options) {
    Tensor logits;
    detail::runWithThreads(options.threads,
                           [&] { logits = forwardPass(spec, weights, tokens, options); });
    return logits;
}

Tensor detail::packedForward(const TransformerSpec& spec, const PackedWeights& weights,
                             const TokenBatch& tokens, const ForwardOptions& options) {
    Tensor logits;
    detail::runWithThreads(options.threads,
                           [&] { logits = forwardPass(spec, weights, tokens, options); });
    return logits;
}

TokenBatch singleSequence(std::vector<std::uint32_t> tokens) {
    const auto width = static_cast<std::uint64_t>(tokens.size());
    return TokenBatch{1, width, std::move(tokens), {}};
}

std::uint32_t argmaxToken(const Tensor& logits, std::uint64_t position) {
    const std::vector<std::uint64_t>& shape = logits.shape;
    const std::uint64_t stored = logits.data.size();
    // Divisions instead of a product, so that no extent can overflow the comparison.
    const bool valid = shape.size() == 3 && shape[0] != 0 && shape[1] != 0 && shape[2] != 0 &&
                       shape[2] <= std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1 &&
                       stored % shape[2] == 0 && (stored / shape[2]) % shape[1] == 0 &&
                       stored / shape[2] / shape[1] == shape[0];
    if (!valid) throw std::invalid_argument("logits shape is invalid");
    if (position >= logits.shape[1]) throw std::out_of_range("logits position out of range");
    const std::uint64_t vocabulary = logits.shape[2];
    const double* row = logits.data.data() + position * vocabulary;
    std::uint64_t best = 0;
    for (std::uint64_t v = 1; v < vocabulary; ++v) {
        if (row[v] > row[best]) best = v;
    }
    return static_cast<std::uint32_t>(best);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
