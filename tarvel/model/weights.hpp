#pragma once

#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Every learned tensor of one transformer block. Projections are stored [out, in]; there are
// no biases anywhere.
struct LayerWeights {
    Tensor attention_norm;    // {d}
    Tensor query;             // {hq * hd, d}
    Tensor key;               // {hkv * hd, d}
    Tensor value;             // {hkv * hd, d}
    Tensor attention_output;  // {d, hq * hd}
    Tensor ffn_norm;          // {d}
    Tensor ffn_gate;          // {f, d}; demanded for both feed-forward kinds, read by swiglu only
    Tensor ffn_up;            // {f, d}
    Tensor ffn_down;          // {d, f}
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
