#include "tarvel/model/model_artifact.hpp"

#include "tarvel/format/container.hpp"
#include "tarvel/spec/fingerprint.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

std::vector<NamedTensor> modelArtifactTensors(const TransformerWeights& weights) {
    std::vector<NamedTensor> entries;
    entries.reserve(2 + 9 * weights.layers.size() + 1);
    entries.emplace_back("token_embedding", std::cref(weights.token_embedding));
    for (std::size_t i = 0; i < weights.layers.size(); ++i) {
        const LayerWeights& layer = weights.layers[i];
        const std::string prefix = "layers." + std::to_string(i) + ".";
        entries.emplace_back(prefix + "attention_norm", std::cref(layer.attention_norm));
        entries.emplace_back(prefix + "query", std::cref(layer.query));
        entries.emplace_back(prefix + "key", std::cref(layer.key));
        entries.emplace_back(prefix + "value", std::cref(layer.value));
        entries.emplace_back(prefix + "attention_output", std::cref(layer.attention_output));
        entries.emplace_back(prefix + "ffn_norm", std::cref(layer.ffn_norm));
        entries.emplace_back(prefix + "ffn_gate", std::cref(layer.ffn_gate));
        entries.emplace_back(prefix + "ffn_up", std::cref(layer.ffn_up));
        entries.emplace_back(prefix + "ffn_down", std::cref(layer.ffn_down));
    }
    entries.emplace_back("final_norm", std::cref(weights.final_norm));
    // Decided by the tensor alone: an untied model always has one, a tied model normally not.
    if (!weights.output_embedding.data.empty()) {
        entries.emplace_back("output_embedding", std::cref(weights.output_embedding));
    }
    return entries;
}

ByteBuffer buildModelArtifact(const TransformerSpec& spec, const TransformerWeights& weights,
                              const std::optional<std::string>& tokenizer_identity) {
    const std::vector<NamedTensor> entries = modelArtifactTensors(weights);
    std::uint64_t payload_size = 0;
    for (const NamedTensor& entry : entries) payload_size += 8 * entry.second.get().data.size();
    std::vector<ArtifactTensorRecord> records(entries.size());
    for (std::size_t j = 0; j < entries.size(); ++j) {
        records[j].name = entries[j].first;
        records[j].dtype = static_cast<std::uint8_t>(ArtifactDType::Float64);
        records[j].shape = entries[j].second.get().shape;
    }
    // Written straight into the file: the model holds the weights and their bytes, and nothing
    // else of that size exists even while it is built.
    return writeArtifactInPlace(
        model_artifact_magic, records, specFingerprint(spec), tokenizer_identity, {}, payload_size,
        [&](std::size_t j, ByteBuffer& file) { writeF64s(file, entries[j].second.get().data); });
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
