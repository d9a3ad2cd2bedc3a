#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/small_model.hpp"
#include "tarvel/tarvel.hpp"

namespace tarvel_test {

using namespace Nuvexis::Core::Tarvel;

// Small models with the block's optional features, one for each family of checkpoints that uses
// them, sized so that every feature acts on a sequence of 8 tokens: a window of 3 positions, and
// a llama3 band that keeps the first rotary pair, blends the second and stretches the rest.
struct FeatureModel {
    std::string name;
    TransformerSpec spec;
};

// vocabulary 23, context 12, 2 layers, 4 query heads and 2 KV heads of width 8, model_dim 32,
// ffn_dim 20, untied, no feature.
inline TransformerSpec featureBase() {
    TransformerSpec spec;
    spec.vocabulary = 23;
    spec.context = 12;
    spec.layers = 2;
    spec.model_dim = 32;
    spec.ffn_dim = 20;
    spec.query_heads = 4;
    spec.kv_heads = 2;
    spec.head_dim = 8;
    spec.tied_embeddings = false;
    spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, ""},
                  {"logits", PortDirection::output, PortKind::logits, 23, ""}};
    return spec;
}

inline std::vector<FeatureModel> featureModels() {
    std::vector<FeatureModel> models;
    const auto add = [&](const char* name, auto&& edit) {
        TransformerSpec spec = featureBase();
        edit(spec);
        models.push_back({name, spec});
    };
    // Wavelengths 2 pi * 10000^(k / 4): 6.3 is kept, 63 blended, 628 and 6283 stretched.
    add("llama3_scaling", [](TransformerSpec& s) {
        s.position.scaling = {RopeScalingKind::llama3, 4.0, 1.0, 4.0, 64};
    });
    add("linear_scaling", [](TransformerSpec& s) {
        s.position.scaling = {RopeScalingKind::linear, 2.0};
        s.position.rope_base = 500.0;
    });
    add("llama_biases", [](TransformerSpec& s) {
        s.attention.qkv_bias = true;
        s.attention.output_bias = true;
    });
    add("qwen2", [](TransformerSpec& s) {
        s.attention.qkv_bias = true;
        s.position.rope_base = 1e6;
        s.tied_embeddings = true;
    });
    add("qwen3", [](TransformerSpec& s) {
        s.attention.qk_norm = true;
        s.model_dim = 24;  // heads wider than model_dim / query_heads
        s.normalization.epsilon = 1e-6;
        s.tied_embeddings = true;
    });
    add("mistral", [](TransformerSpec& s) { s.attention.window = 3; });
    add("gemma", [](TransformerSpec& s) {
        s.model_dim = 24;
        s.normalization.unit_offset = true;
        s.feed_forward = FeedForwardKind::geglu_tanh;
        s.embedding_scale = 4.90625;  // sqrt(24) in bfloat16
        s.tied_embeddings = true;
    });
    add("gemma2", [](TransformerSpec& s) {
        s.normalization.unit_offset = true;
        s.normalization.post_attention = true;
        s.normalization.post_feed_forward = true;
        s.feed_forward = FeedForwardKind::geglu_tanh;
        s.embedding_scale = 5.65625;  // sqrt(32) in bfloat16
        s.attention.window = 3;
        s.attention.window_layers = WindowLayers::even;
        s.attention.score_scalar = 12.0;
        s.attention.score_softcap = 1.5;
        s.logit_softcap = 2.0;
        s.tied_embeddings = true;
    });
    add("phi3", [](TransformerSpec& s) { s.attention.window = 5; });
    return models;
}

// Every tensor the spec reads, optional ones included, with deterministic values; norm weights
// lie around 0 when the norms scale by 1 + w, around 1 otherwise.
inline TransformerWeights featureWeights(const TransformerSpec& spec, std::uint64_t seed) {
    const std::uint64_t v = spec.vocabulary, d = spec.model_dim, f = spec.ffn_dim,
                        hd = spec.head_dim, q = std::uint64_t{spec.query_heads} * hd,
                        kv = std::uint64_t{spec.kv_heads} * hd;
    const double norm_center = spec.normalization.unit_offset ? 0.0 : 1.0;
    Filler fill(seed);
    TransformerWeights w;
    w.token_embedding = fill.make({v, d}, 0.0, 1.0);
    for (std::uint32_t l = 0; l < spec.layers; ++l) {
        LayerWeights layer;
        layer.attention_norm = fill.make({d}, norm_center, 0.3);
        layer.query = fill.make({q, d}, 0.0, 0.5);
        layer.key = fill.make({kv, d}, 0.0, 0.5);
        layer.value = fill.make({kv, d}, 0.0, 0.5);
        layer.attention_output = fill.make({d, q}, 0.0, 0.4);
        layer.ffn_norm = fill.make({d}, norm_center, 0.3);
        layer.ffn_gate = fill.make({f, d}, 0.0, 0.5);
        layer.ffn_up = fill.make({f, d}, 0.0, 0.5);
        layer.ffn_down = fill.make({d, f}, 0.0, 0.4);
        if (spec.attention.qkv_bias) {
            layer.query_bias = fill.make({q}, 0.0, 0.5);
            layer.key_bias = fill.make({kv}, 0.0, 0.5);
            layer.value_bias = fill.make({kv}, 0.0, 0.5);
        }
        if (spec.attention.output_bias) layer.output_bias = fill.make({d}, 0.0, 0.5);
        if (spec.attention.qk_norm) {
            layer.query_norm = fill.make({hd}, norm_center, 0.3);
            layer.key_norm = fill.make({hd}, norm_center, 0.3);
        }
        if (spec.normalization.post_attention) {
            layer.post_attention_norm = fill.make({d}, norm_center, 0.3);
        }
        if (spec.normalization.post_feed_forward) {
            layer.post_ffn_norm = fill.make({d}, norm_center, 0.3);
        }
        w.layers.push_back(std::move(layer));
    }
    w.final_norm = fill.make({d}, norm_center, 0.3);
    if (!spec.tied_embeddings) w.output_embedding = fill.make({v, d}, 0.0, 1.0);
    return w;
}

inline std::shared_ptr<const TransformerModel> featureModel(const TransformerSpec& spec,
                                                            std::uint64_t seed) {
    return std::make_shared<const TransformerModel>(spec, featureWeights(spec, seed));
}

}  // namespace tarvel_test
