#pragma once

// Small Llama-family checkpoint folders written by the tests themselves, through a test-only
// safetensors writer. The values are multiples of powers of two small enough to be exact in
// every dtype, so each folder means the same model whatever it is stored as.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvel_test {

struct StoredTensor {
    std::string name;
    std::string dtype;  // "F64", "F32", "F16", "BF16", or any other name written as raw bytes
    std::vector<std::uint64_t> shape;
    std::vector<double> values;  // encoded in dtype; ignored when raw is set
    std::vector<std::uint8_t> raw;
};

struct FixtureCheckpoint {
    std::string name;
    nlohmann::json config;
    std::vector<StoredTensor> tensors;  // in the half-split order the layout stores
    int shards = 1;                     // more than one: model-0000k-of-0000N + index
    std::vector<std::uint32_t> tokens;  // the sequence whose golden logits are committed
};

// Test names show the fixture by its name rather than its bytes.
inline void PrintTo(const FixtureCheckpoint& checkpoint, std::ostream* os) {
    *os << checkpoint.name;
}

// Every configuration whose logits are compared with the float64 reference: the Llama-family
// folders, then familyFixtures().
std::vector<FixtureCheckpoint> goldenFixtures();

// One folder of each family in F32, F16 and BF16 ("qwen2_bfloat16", ...), every feature of the
// family in use, and a Llama with linear rotary scaling and attention biases.
std::vector<FixtureCheckpoint> familyFixtures();

// A family folder and one of its features the reference computes the folder without (its
// --ignore name): golden logits of the model as it is not, which the runtime must miss by far.
struct IgnoredFeature {
    std::string fixture;
    std::string feature;
};
std::vector<IgnoredFeature> ignoredFeatures();

// A model with room for a SentencePiece vocabulary: vocab ids, context 64, untied, GQA.
FixtureCheckpoint textFixture(std::uint32_t vocab);

// The little-endian encoding of one value in a floating dtype (exact for fixture values).
void appendValue(std::vector<std::uint8_t>& out, const std::string& dtype, double value);

// A complete safetensors file holding the tensors in order, with optional metadata.
std::vector<std::uint8_t> safetensorsFile(const std::vector<StoredTensor>& tensors,
                                          const nlohmann::json& metadata = nullptr);

// Writes config.json and the weight files (one file, or shards with their index).
void writeCheckpoint(const std::filesystem::path& folder, const FixtureCheckpoint& checkpoint);

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::filesystem::path& path, const std::string& text);

// A fresh empty directory under the system temp folder, unique to this process and name.
std::filesystem::path freshDirectory(const std::string& name);

}  // namespace tarvel_test
