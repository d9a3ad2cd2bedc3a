#pragma once

// The model all the examples run. A real application would load a model spec and trained
// weights from wherever it keeps them; here both are made up on the spot so that the examples
// need no files and always print the same numbers.

#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace tarvel_examples {

using namespace Nuvexis::Core::Tarvel;

// A small but complete decoder: 2 layers, 4 query heads sharing 2 key/value heads (grouped-
// query attention), a SwiGLU feed-forward block and tied input/output embeddings.
inline TransformerSpec tinySpec() {
    TransformerSpec spec;  // every size starts at 0; the rest has usable defaults
    spec.vocabulary = 32;
    spec.context = 16;  // the longest sequence a session can hold
    spec.layers = 2;
    spec.query_heads = 4;
    spec.kv_heads = 2;
    spec.head_dim = 4;
    spec.model_dim = spec.query_heads * spec.head_dim;  // must be equal
    spec.ffn_dim = 32;
    spec.feed_forward = FeedForwardKind::swiglu;
    spec.tied_embeddings = true;
    spec.precision.kv_cache = DType::f32;  // only affects the cache byte accounting
    spec.ports = {
        PortSpec{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
        PortSpec{"logits", PortDirection::output, PortKind::logits, spec.vocabulary, "logits/1"},
    };
    return spec;
}

// A tensor whose element i (in row-major order) is shift + 0.17 * sin(seed + 0.37 * i).
inline Tensor madeUpTensor(std::vector<std::uint64_t> shape, double seed, double shift = 0.0) {
    Tensor tensor(std::move(shape), 0.0, true);
    for (std::size_t i = 0; i < tensor.data.size(); ++i) {
        tensor.data[i] = shift + 0.17 * std::sin(seed + 0.37 * static_cast<double>(i));
    }
    return tensor;
}

// Every weight the spec calls for, with the shapes the model checks. Projections are stored
// [out, in]; norm weights sit around 1.0 as trained ones do.
inline TransformerWeights tinyWeights(const TransformerSpec& spec) {
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    const std::uint64_t q = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kv = std::uint64_t{spec.kv_heads} * spec.head_dim;
    TransformerWeights weights;
    weights.token_embedding = madeUpTensor({spec.vocabulary, d}, 0.5);
    for (std::uint32_t l = 0; l < spec.layers; ++l) {
        const double seed = 10.0 * (l + 1);
        LayerWeights layer;
        layer.attention_norm = madeUpTensor({d}, seed + 1.0, 1.0);
        layer.query = madeUpTensor({q, d}, seed + 2.0);
        layer.key = madeUpTensor({kv, d}, seed + 3.0);
        layer.value = madeUpTensor({kv, d}, seed + 4.0);
        layer.attention_output = madeUpTensor({d, q}, seed + 5.0);
        layer.ffn_norm = madeUpTensor({d}, seed + 6.0, 1.0);
        layer.ffn_gate = madeUpTensor({f, d}, seed + 7.0);
        layer.ffn_up = madeUpTensor({f, d}, seed + 8.0);
        layer.ffn_down = madeUpTensor({d, f}, seed + 9.0);
        weights.layers.push_back(std::move(layer));
    }
    weights.final_norm = madeUpTensor({d}, 99.0, 1.0);
    // Tied embeddings: output_embedding stays absent and token_embedding doubles as it.
    return weights;
}

// Constructing the model checks the spec and every weight shape (it runs one forward pass)
// and throws std::invalid_argument if something does not fit. Sessions share the model.
inline std::shared_ptr<const TransformerModel> tinyModel() {
    const TransformerSpec spec = tinySpec();
    return std::make_shared<const TransformerModel>(spec, tinyWeights(spec));
}

// The most likely next token after chunk position `row` of a step's logits {1, width, V}.
// Ties go to the lower id, so the choice is deterministic.
inline std::uint32_t argmax(const Tensor& logits, std::uint64_t row) {
    const std::uint64_t vocabulary = logits.shape[2];
    std::uint32_t best = 0;
    for (std::uint32_t u = 1; u < vocabulary; ++u) {
        if (at(logits, {0, row, u}) > at(logits, {0, row, best})) best = u;
    }
    return best;
}

// A one-sequence chunk of tokens, the only batch form a session step accepts.
inline TokenBatch chunk(std::vector<std::uint32_t> tokens) {
    const std::uint64_t width = tokens.size();
    return TokenBatch{1, width, std::move(tokens), {}};
}

}  // namespace tarvel_examples
