#pragma once

#include "tarvel/spec/transformer_spec.hpp"

namespace tarvel_test {

// The small valid spec the spec tests start from, every field written out: vocabulary 11,
// context 8, 2 layers, model_dim 4, ffn_dim 7, two query and two KV heads of width 2, RoPE base
// 10000, epsilon 1e-5, swiglu, f32, tied, a token_ids input and a logits output.
inline Nuvexis::Core::Tarvel::TransformerSpec exampleSpec() {
    using namespace Nuvexis::Core::Tarvel;
    TransformerSpec spec;
    spec.vocabulary = 11;
    spec.context = 8;
    spec.layers = 2;
    spec.model_dim = 4;
    spec.ffn_dim = 7;
    spec.query_heads = 2;
    spec.kv_heads = 2;
    spec.head_dim = 2;
    spec.position.rope_base = 10000.0;
    spec.normalization.epsilon = 1e-5;
    spec.feed_forward = FeedForwardKind::swiglu;
    spec.tied_embeddings = true;
    spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                  {"logits", PortDirection::output, PortKind::logits, 11, "logits/1"}};
    return spec;
}

}  // namespace tarvel_test
