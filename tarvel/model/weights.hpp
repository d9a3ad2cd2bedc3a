#pragma once

#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Every learned tensor of one transformer block. Projections are stored [out, in]. The tensors
// after ffn_down belong to optional features of the spec: each is read, and its shape demanded,
// only when its feature is on; otherwise it is normally absent. They have initializers of their
// own, so that a record listing only the first nine stays complete.
struct LayerWeights {
    Tensor attention_norm;         // {d}
    Tensor query;                  // {hq * hd, d}
    Tensor key;                    // {hkv * hd, d}
    Tensor value;                  // {hkv * hd, d}
    Tensor attention_output;       // {d, hq * hd}
    Tensor ffn_norm;               // {d}
    Tensor ffn_gate;               // {f, d}; demanded for every kind, read by the gated ones
    Tensor ffn_up;                 // {f, d}
    Tensor ffn_down;               // {d, f}
    Tensor query_bias{};           // {hq * hd}: attention.qkv_bias
    Tensor key_bias{};             // {hkv * hd}: attention.qkv_bias
    Tensor value_bias{};           // {hkv * hd}: attention.qkv_bias
    Tensor output_bias{};          // {d}: attention.output_bias
    Tensor query_norm{};           // {hd}: attention.qk_norm, one scale for every query head
    Tensor key_norm{};             // {hd}: attention.qk_norm, one scale for every KV head
    Tensor post_attention_norm{};  // {d}: normalization.post_attention
    Tensor post_ffn_norm{};        // {d}: normalization.post_feed_forward
};

// The field names double as the tensor names of the model artifact.
struct TransformerWeights {
    Tensor token_embedding;            // {V, d}
    std::vector<LayerWeights> layers;  // one per layer
    Tensor final_norm;                 // {d}
    Tensor output_embedding;           // {V, d} when embeddings are untied; absent otherwise
};

}  // namespace Tarvel
}  // namespace Nuvexis::Core
