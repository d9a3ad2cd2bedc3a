#include "tarvel/model/model_artifact.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <variant>

#include "tarvel/core/bytes.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/format/container.hpp"
#include "tarvel/format/layout.hpp"
#include "tarvel/model/detail/packed_weights.hpp"
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
        // The optional tensors follow their layer's nine, each only when it holds values, so a
        // model without them has the artifact it always had.
        const auto optional = [&](const char* suffix, const Tensor& tensor) {
            if (!tensor.data.empty()) entries.emplace_back(prefix + suffix, std::cref(tensor));
        };
        optional("query_bias", layer.query_bias);
        optional("key_bias", layer.key_bias);
        optional("value_bias", layer.value_bias);
        optional("output_bias", layer.output_bias);
        optional("query_norm", layer.query_norm);
        optional("key_norm", layer.key_norm);
        optional("post_attention_norm", layer.post_attention_norm);
        optional("post_ffn_norm", layer.post_ffn_norm);
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

namespace {

struct PackedEntry {
    std::string name;
    const detail::PackedTensor* tensor = nullptr;
};

// The packed tensors under their artifact names, in the order and with the presence rule of
// modelArtifactTensors.
std::vector<PackedEntry> packedArtifactTensors(const detail::PackedWeights& weights) {
    std::vector<PackedEntry> entries;
    entries.reserve(2 + 9 * weights.layers.size() + 1);
    entries.push_back({"token_embedding", &weights.token_embedding});
    for (std::size_t i = 0; i < weights.layers.size(); ++i) {
        const detail::PackedLayerWeights& layer = weights.layers[i];
        const std::string prefix = "layers." + std::to_string(i) + ".";
        entries.push_back({prefix + "attention_norm", &layer.attention_norm});
        entries.push_back({prefix + "query", &layer.query});
        entries.push_back({prefix + "key", &layer.key});
        entries.push_back({prefix + "value", &layer.value});
        entries.push_back({prefix + "attention_output", &layer.attention_output});
        entries.push_back({prefix + "ffn_norm", &layer.ffn_norm});
        entries.push_back({prefix + "ffn_gate", &layer.ffn_gate});
        entries.push_back({prefix + "ffn_up", &layer.ffn_up});
        entries.push_back({prefix + "ffn_down", &layer.ffn_down});
        const auto optional = [&](const char* suffix, const detail::PackedTensor& tensor) {
            if (!tensor.empty()) entries.push_back({prefix + suffix, &tensor});
        };
        optional("query_bias", layer.query_bias);
        optional("key_bias", layer.key_bias);
        optional("value_bias", layer.value_bias);
        optional("output_bias", layer.output_bias);
        optional("query_norm", layer.query_norm);
        optional("key_norm", layer.key_norm);
        optional("post_attention_norm", layer.post_attention_norm);
        optional("post_ffn_norm", layer.post_ffn_norm);
    }
    entries.push_back({"final_norm", &weights.final_norm});
    if (!weights.output_embedding.empty()) {
        entries.push_back({"output_embedding", &weights.output_embedding});
    }
    return entries;
}

// Hands sink(bytes) the tensor's values as float64 little-endian bytes, in pieces of a few
// kilobytes, in order.
template <typename Sink>
void streamFloat64Bytes(const detail::PackedTensor& tensor, Sink&& sink) {
    constexpr std::size_t piece = 512;
    std::array<double, piece> values{};
    std::size_t count = 0;
    ByteBuffer bytes;
    bytes.reserve(8 * piece);
    const auto flush = [&] {
        bytes.clear();
        writeF64s(bytes, std::span<const double>(values.data(), count));
        sink(bytes);
        count = 0;
    };
    detail::forEachValue(tensor, [&](double x) {
        values[count++] = x;
        if (count == piece) flush();
    });
    if (count != 0) flush();
}

std::vector<ArtifactTensorRecord> packedRecords(const std::vector<PackedEntry>& entries) {
    std::vector<ArtifactTensorRecord> records(entries.size());
    for (std::size_t j = 0; j < entries.size(); ++j) {
        records[j].name = entries[j].name;
        records[j].dtype = static_cast<std::uint8_t>(ArtifactDType::Float64);
        records[j].shape = entries[j].tensor->shape;
    }
    return records;
}

std::uint64_t hashBytes(std::uint64_t h, const ByteBuffer& bytes) {
    for (const std::uint8_t byte : bytes) h = detail::checksumStep(h, byte);
    return h;
}

}  // namespace

ByteBuffer detail::buildPackedArtifact(const TransformerSpec& spec, const PackedWeights& weights,
                                       const std::optional<std::string>& tokenizer_identity) {
    const std::vector<PackedEntry> entries = packedArtifactTensors(weights);
    std::uint64_t payload_size = 0;
    for (const PackedEntry& entry : entries) payload_size += 8 * entry.tensor->size();
    std::vector<ArtifactTensorRecord> records = packedRecords(entries);
    return writeArtifactInPlace(
        model_artifact_magic, records, specFingerprint(spec), tokenizer_identity, {}, payload_size,
        [&](std::size_t j, ByteBuffer& file) {
            streamFloat64Bytes(*entries[j].tensor, [&](const ByteBuffer& bytes) {
                file.insert(file.end(), bytes.begin(), bytes.end());
            });
        });
}

std::uint64_t detail::packedArtifactChecksum(const TransformerSpec& spec,
                                             const PackedWeights& weights,
                                             const std::optional<std::string>& tokenizer_identity) {
    const std::vector<PackedEntry> entries = packedArtifactTensors(weights);
    std::vector<ArtifactTensorRecord> records = packedRecords(entries);
    // First pass: each tensor's own checksum, a chain of its own, so the tensors go to the
    // threads; then each tensor's place, which the manifest records with it.
    detail::parallelFor(entries.size(), 1, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t j = begin; j < end; ++j) {
            std::uint64_t h = checksum_initial;
            streamFloat64Bytes(*entries[j].tensor,
                               [&](const ByteBuffer& bytes) { h = hashBytes(h, bytes); });
            records[j].checksum = h;
        }
    });
    std::uint64_t payload_size = 0;
    for (std::size_t j = 0; j < entries.size(); ++j) {
        records[j].offset = payload_size;
        records[j].byte_count = 8 * entries[j].tensor->size();
        payload_size += records[j].byte_count;
    }
    // Second pass: header and manifest as written (the stored checksum hashes as zeros), then
    // the payload again.
    const ByteBuffer manifest = writeManifest(records, specFingerprint(spec), tokenizer_identity);
    ByteBuffer head = beginArtifact(model_artifact_magic, manifest, 0);
    storeLittleEndian(head.data() + artifact_payload_length_offset, payload_size, 8);
    std::uint64_t h = hashBytes(checksum_initial, head);
    for (const PackedEntry& entry : entries) {
        streamFloat64Bytes(*entry.tensor,
                           [&](const ByteBuffer& bytes) { h = hashBytes(h, bytes); });
    }
    return h;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
