#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/tensor.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/ops/attention.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/ops/rms_norm.hpp"
#include "tarvel/ops/rope.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// The rows one block runs over: `batch` sequences of `seq` positions, and the rotary table of
// those positions (ropeTableFor(spec, seq, offset of the first)), built once for every layer.
struct BlockRows {
    std::uint64_t batch = 0;
    std::uint64_t seq = 0;
    const RopeTable& rope;
};

// The rotary table of `positions` positions from `offset`, with the spec's base and scaling.
inline RopeTable ropeTableFor(const TransformerSpec& spec, std::uint64_t positions,
                              std::uint64_t offset) {
    return buildRopeTable(positions, spec.head_dim, spec.position.rope_base, offset,
                          spec.position.scaling);
}

// How layer `layer` forms its scores and which positions it sees: its window applies when the
// spec has one and the layer is among the window's layers.
inline AttentionScoring layerScoring(const TransformerSpec& spec, std::uint64_t layer) {
    const AttentionSpec& a = spec.attention;
    const bool windowed = a.window != 0 && (a.window_layers == WindowLayers::all || layer % 2 == 0);
    return AttentionScoring{a.score_scalar, a.score_softcap, windowed ? a.window : 0};
}

// A vector's `dim` values, once its shape is checked: in place, or widened into `widened`.
inline const double* vectorValues(const Tensor& vector, std::uint64_t, std::vector<double>&) {
    return vector.data.data();
}
inline const double* vectorValues(const PackedTensor& vector, std::uint64_t dim,
                                  std::vector<double>& widened) {
    widened.resize(static_cast<std::size_t>(dim));
    widenRun(vector, 0, dim, widened.data());
    return widened.data();
}

// The features' helpers stay out of line: the block a model without features runs keeps the
// size, and so the inlining, it always had.
#if defined(__GNUC__)
#define TARVEL_FEATURE_PATH __attribute__((noinline))
#else
#define TARVEL_FEATURE_PATH
#endif

// t[r, c] = Check(t[r, c] + bias[c]) for every element in storage order: a bias is added to the
// finished projection, as a residual is added to the stream.
template <double (*Check)(double, bool), typename Vector>
TARVEL_FEATURE_PATH void addBias(Tensor& t, const Vector& bias, std::uint64_t width,
                                 const char* name, bool double_precision) {
    requireShape(bias, {width}, name);
    std::vector<double> widened;
    const double* b = vectorValues(bias, width, widened);
    for (std::size_t e = 0; e < t.data.size(); ++e) {
        t.data[e] = Check(t.data[e] + b[e % width], double_precision);
    }
}

// x = Check(cap * tanh(x / cap)) for every element, in storage order.
template <double (*Check)(double, bool)>
TARVEL_FEATURE_PATH void softcap(std::vector<double>& values, double cap, bool double_precision) {
    for (double& x : values) x = Check(cap * std::tanh(x / cap), double_precision);
}

// RMSNorm over each head of t {rows, heads * head_dim}, with one {head_dim} scale for every
// head: each head's values are a row of their own.
template <typename Vector>
TARVEL_FEATURE_PATH Tensor normaliseHeads(Tensor t, const Vector& scale, std::uint64_t rows,
                                          std::uint64_t heads, std::uint64_t head_dim,
                                          const char* name, const NormalizationSpec& norm,
                                          bool double_precision) {
    requireShape(scale, {head_dim}, name);
    t.shape = {rows * heads, head_dim};
    Tensor out =
        rmsNorm(t, scale, rows * heads, head_dim, norm.epsilon, double_precision, norm.unit_offset);
    out.shape = {rows, heads * head_dim};
    return out;
}

// RMSNorm of a block's output x {rows, model_dim} before its residual sum: Gemma 2's post norms.
template <typename Vector>
TARVEL_FEATURE_PATH Tensor postNorm(const Tensor& x, const Vector& scale, std::uint64_t rows,
                                    std::uint64_t d, const char* name,
                                    const NormalizationSpec& norm, bool double_precision) {
    requireShape(scale, {d}, name);
    return rmsNorm(x, scale, rows, d, norm.epsilon, double_precision, norm.unit_offset);
}

// One transformer block over `hidden` {batch * seq, model_dim}, in place: attention norm,
// query/key/value projections (with their biases), query and key head norms, rotary embedding,
// attention, output projection (with its bias), post-attention norm and residual, then
// feed-forward norm, feed-forward block, post-feed-forward norm and residual. The spec's
// features are decided here once per layer. The full pass and the cached step both run exactly
// this, over LayerWeights or their packed form; they differ in what they pass:
//   project(input, weight, in_dim, out_dim) -> Tensor   their projection, with its value check
//   attend(q, k, v, scoring) -> Tensor {rows, q_width}  attention within the batch, or over
//                                                       the cache grown by k and v
//   trace(name, tensor)                                 "q", "k", "v", "mlp" as they are made
// and Check(x, double_precision), the value check of a residual or bias sum.
template <double (*Check)(double, bool), typename Layer, typename Project, typename Attend,
          typename Trace>
void transformerBlock(Tensor& hidden, const Layer& w, const TransformerSpec& spec,
                      std::uint64_t layer, const BlockRows& at_rows, bool double_precision,
                      Project&& project, Attend&& attend, Trace&& trace) {
    const bool dp = double_precision;
    const std::uint64_t rows = at_rows.batch * at_rows.seq;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t hd = spec.head_dim;
    const std::uint64_t q_width = std::uint64_t{spec.query_heads} * hd;
    const std::uint64_t kv_width = std::uint64_t{spec.kv_heads} * hd;
    const NormalizationSpec& norm = spec.normalization;
    const AttentionSpec& features = spec.attention;
    const auto addResidual = [&](const Tensor& delta) {
        for (std::size_t e = 0; e < hidden.data.size(); ++e) {
            hidden.data[e] = Check(hidden.data[e] + delta.data[e], dp);
        }
    };

    Tensor normed = rmsNorm(hidden, w.attention_norm, rows, d, norm.epsilon, dp, norm.unit_offset);
    Tensor q = project(normed, w.query, d, q_width);
    Tensor k = project(normed, w.key, d, kv_width);
    Tensor v = project(normed, w.value, d, kv_width);
    if (features.qkv_bias) {
        addBias<Check>(q, w.query_bias, q_width, "query bias", dp);
        addBias<Check>(k, w.key_bias, kv_width, "key bias", dp);
        addBias<Check>(v, w.value_bias, kv_width, "value bias", dp);
    }
    if (features.qk_norm) {
        q = normaliseHeads(std::move(q), w.query_norm, rows, spec.query_heads, hd, "query norm",
                           norm, dp);
        k = normaliseHeads(std::move(k), w.key_norm, rows, spec.kv_heads, hd, "key norm", norm, dp);
    }
    applyRopeTable(q, k, at_rows.batch, at_rows.seq, spec.query_heads, spec.kv_heads, at_rows.rope,
                   dp);
    trace("q", q);
    trace("k", k);
    trace("v", v);
    const Tensor attended = attend(q, k, v, layerScoring(spec, layer));
    {
        // Released before the feed-forward block, whose working memory it would add to.
        Tensor o = project(attended, w.attention_output, q_width, d);
        if (features.output_bias) addBias<Check>(o, w.output_bias, d, "output bias", dp);
        if (norm.post_attention) {
            o = postNorm(o, w.post_attention_norm, rows, d, "post-attention norm", norm, dp);
        }
        addResidual(o);
    }

    normed = rmsNorm(hidden, w.ffn_norm, rows, d, norm.epsilon, dp, norm.unit_offset);
    Tensor mlp = feedForward(normed, w.ffn_gate, w.ffn_up, w.ffn_down, rows, d, spec.ffn_dim,
                             spec.feed_forward, dp);
    if (norm.post_feed_forward) {
        mlp = postNorm(mlp, w.post_ffn_norm, rows, d, "post-feed-forward norm", norm, dp);
    }
    trace("mlp", mlp);
    addResidual(mlp);
}

#undef TARVEL_FEATURE_PATH

}  // namespace Nuvexis::Core::Tarvel::detail
