#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// The tensors of LayerWeights, each in its narrowest exact type.
struct PackedLayerWeights {
    PackedTensor attention_norm;
    PackedTensor query;
    PackedTensor key;
    PackedTensor value;
    PackedTensor attention_output;
    PackedTensor ffn_norm;
    PackedTensor ffn_gate;
    PackedTensor ffn_up;
    PackedTensor ffn_down;
    PackedTensor query_bias{};
    PackedTensor key_bias{};
    PackedTensor value_bias{};
    PackedTensor output_bias{};
    PackedTensor query_norm{};
    PackedTensor key_norm{};
    PackedTensor post_attention_norm{};
    PackedTensor post_ffn_norm{};
};

// What a model holds of its weights: TransformerWeights, packed.
struct PackedWeights {
    PackedTensor token_embedding;
    std::vector<PackedLayerWeights> layers;
    PackedTensor final_norm;
    PackedTensor output_embedding;  // empty when the model has none
};

// Packs every tensor on its own; an absent tensor stays absent.
PackedWeights packWeights(const TransformerWeights& weights);
// Widens every tensor back: the exact values packWeights was given.
TransformerWeights unpackWeights(const PackedWeights& weights);
// The bytes of the packed values.
std::uint64_t packedWeightBytes(const PackedWeights& weights);

// The model artifact of these weights: the bytes buildModelArtifact writes for their widened
// values, written without widening any tensor as a whole.
std::vector<std::uint8_t> buildPackedArtifact(const TransformerSpec& spec,
                                              const PackedWeights& weights,
                                              const std::optional<std::string>& tokenizer_identity);
// The global checksum of that artifact, from its bytes as they are produced, a few kilobytes at a
// time, without ever holding the artifact.
std::uint64_t packedArtifactChecksum(const TransformerSpec& spec, const PackedWeights& weights,
                                     const std::optional<std::string>& tokenizer_identity);

// transformerForward over packed weights: the same checks in the same order with the same
// messages, and the same bits.
Tensor packedForward(const TransformerSpec& spec, const PackedWeights& weights,
                     const TokenBatch& tokens, const ForwardOptions& options);

}  // namespace Nuvexis::Core::Tarvel::detail
