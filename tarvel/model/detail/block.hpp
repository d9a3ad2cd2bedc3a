#pragma once

#include <cstdint>
#include <string_view>

#include "tarvel/core/tensor.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/ops/rms_norm.hpp"
#include "tarvel/ops/rope.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// The rows one block runs over: `batch` sequences of `seq` positions, and the rotary table of
// those positions (buildRopeTable(seq, head_dim, rope_base, offset of the first)), built once
// for every layer.
struct BlockRows {
    std::uint64_t batch = 0;
    std::uint64_t seq = 0;
    const RopeTable& rope;
};

// One transformer block over `hidden` {batch * seq, model_dim}, in place: attention norm,
// query/key/value projections, rotary embedding, attention, output projection and residual,
// then feed-forward norm, feed-forward block and residual. The full pass and the cached step
// both run exactly this, over LayerWeights or their packed form; they differ in what they pass:
//   project(input, weight, in_dim, out_dim) -> Tensor   their projection, with its value check
//   attend(q, k, v) -> Tensor {rows, q_width}           attention within the batch, or over
//                                                       the cache grown by k and v
//   trace(name, tensor)                                 "q", "k", "v", "mlp" as they are made
// and Check(x, double_precision), the value check of a residual sum.
template <double (*Check)(double, bool), typename Layer, typename Project, typename Attend,
          typename Trace>
void transformerBlock(Tensor& hidden, const Layer& w, const TransformerSpec& spec,
                      const BlockRows& at_rows, bool double_precision, Project&& project,
                      Attend&& attend, Trace&& trace) {
    const bool dp = double_precision;
    const std::uint64_t rows = at_rows.batch * at_rows.seq;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t q_width = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kv_width = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const double epsilon = spec.normalization.epsilon;
    const auto addResidual = [&](const Tensor& delta) {
        for (std::size_t e = 0; e < hidden.data.size(); ++e) {
            hidden.data[e] = Check(hidden.data[e] + delta.data[e], dp);
        }
    };

    Tensor normed = rmsNorm(hidden, w.attention_norm, rows, d, epsilon, dp);
    Tensor q = project(normed, w.query, d, q_width);
    Tensor k = project(normed, w.key, d, kv_width);
    Tensor v = project(normed, w.value, d, kv_width);
    applyRopeTable(q, k, at_rows.batch, at_rows.seq, spec.query_heads, spec.kv_heads, at_rows.rope,
                   dp);
    trace("q", q);
    trace("k", k);
    trace("v", v);
    const Tensor attended = attend(q, k, v);
    addResidual(project(attended, w.attention_output, q_width, d));

    normed = rmsNorm(hidden, w.ffn_norm, rows, d, epsilon, dp);
    const Tensor mlp = feedForward(normed, w.ffn_gate, w.ffn_up, w.ffn_down, rows, d, spec.ffn_dim,
                                   spec.feed_forward, dp);
    trace("mlp", mlp);
    addResidual(mlp);
}

}  // namespace Nuvexis::Core::Tarvel::detail
