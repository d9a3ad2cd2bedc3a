#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace tarvel_test {

using namespace Nuvexis::Core::Tarvel;

// A model of any small shape with pseudo-random weights, for the reference and forward tests.

struct ModelShape {
    std::uint32_t vocabulary = 11;
    std::uint32_t context = 8;
    std::uint32_t layers = 2;
    std::uint32_t query_heads = 2;
    std::uint32_t kv_heads = 2;
    std::uint32_t head_dim = 4;
    std::uint32_t ffn_dim = 12;
    FeedForwardKind feed_forward = FeedForwardKind::swiglu;
    bool tied_embeddings = true;
};

inline TransformerSpec makeSpec(const ModelShape& shape) {
    TransformerSpec spec;
    spec.vocabulary = shape.vocabulary;
    spec.context = shape.context;
    spec.layers = shape.layers;
    spec.model_dim = shape.query_heads * shape.head_dim;
    spec.ffn_dim = shape.ffn_dim;
    spec.query_heads = shape.query_heads;
    spec.kv_heads = shape.kv_heads;
    spec.head_dim = shape.head_dim;
    spec.feed_forward = shape.feed_forward;
    spec.tied_embeddings = shape.tied_embeddings;
    spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, ""},
                  {"logits", PortDirection::output, PortKind::logits, shape.vocabulary, ""}};
    return spec;
}

// Deterministic pseudo-random values in [center - spread, center + spread).
class Filler {
  public:
    explicit Filler(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}

    Tensor make(std::vector<std::uint64_t> shape, double center, double spread) {
        Tensor t(std::move(shape), 0.0, true);
        for (double& x : t.data) {
            state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
            const double unit = static_cast<double>(state_ >> 11) * 0x1.0p-53;
            x = center + (2.0 * unit - 1.0) * spread;
        }
        return t;
    }

  private:
    std::uint64_t state_;
};

inline TransformerWeights makeWeights(const ModelShape& shape, std::uint64_t seed) {
    const std::uint64_t v = shape.vocabulary, d = shape.query_heads * shape.head_dim,
                        f = shape.ffn_dim, q = d,
                        kv = std::uint64_t{shape.kv_heads} * shape.head_dim;
    Filler fill(seed);
    TransformerWeights w;
    w.token_embedding = fill.make({v, d}, 0.0, 1.0);
    for (std::uint32_t l = 0; l < shape.layers; ++l) {
        LayerWeights layer;
        layer.attention_norm = fill.make({d}, 1.0, 0.3);
        layer.query = fill.make({q, d}, 0.0, 0.6);
        layer.key = fill.make({kv, d}, 0.0, 0.6);
        layer.value = fill.make({kv, d}, 0.0, 0.6);
        layer.attention_output = fill.make({d, q}, 0.0, 0.4);
        layer.ffn_norm = fill.make({d}, 1.0, 0.3);
        layer.ffn_gate = fill.make({f, d}, 0.0, 0.5);
        layer.ffn_up = fill.make({f, d}, 0.0, 0.5);
        layer.ffn_down = fill.make({d, f}, 0.0, 0.4);
        w.layers.push_back(std::move(layer));
    }
    w.final_norm = fill.make({d}, 1.0, 0.3);
    if (!shape.tied_embeddings) w.output_embedding = fill.make({v, d}, 0.0, 1.0);
    return w;
}

}  // namespace tarvel_test
