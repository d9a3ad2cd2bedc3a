#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// The numeric codes are stored in artifacts and enter the fingerprint; they never change.
// Records may hold codes outside these lists; validation reports them.
enum class PositionKind : std::uint8_t { rope = 0 };
enum class NormalizationKind : std::uint8_t { rms_norm = 0 };
enum class FeedForwardKind : std::uint8_t { gelu = 0, swiglu = 1 };
enum class DType : std::uint8_t { f32 = 0, f16 = 1, bf16 = 2 };
enum class PortDirection : std::uint8_t { input = 0, output = 1 };
enum class PortKind : std::uint8_t { token_ids = 0, embedding = 1, logits = 2 };

struct PositionSpec {
    PositionKind kind = PositionKind::rope;
    double rope_base = 10000.0;
};

struct NormalizationSpec {
    NormalizationKind kind = NormalizationKind::rms_norm;
    double epsilon = 1e-5;
};

// Declarations only: arithmetic is always double (optionally rounded to float32); kv_cache
// sets the element size used by the cache byte accounting.
struct PrecisionSpec {
    DType weights = DType::f32;
    DType activations = DType::f32;
    DType kv_cache = DType::f32;
};

struct PortSpec {
    std::string name;
    PortDirection direction = PortDirection::input;
    PortKind kind = PortKind::token_ids;
    std::uint32_t width = 0;
    std::string schema;
};

struct TransformerSpec {
    std::uint32_t vocabulary = 0;
    std::uint32_t context = 0;
    std::uint32_t layers = 0;
    std::uint32_t model_dim = 0;
    std::uint32_t ffn_dim = 0;
    std::uint32_t query_heads = 0;
    std::uint32_t kv_heads = 0;
    std::uint32_t head_dim = 0;
    PositionSpec position;
    NormalizationSpec normalization;
    FeedForwardKind feed_forward = FeedForwardKind::swiglu;
    PrecisionSpec precision;
    bool tied_embeddings = true;
    std::vector<PortSpec> ports;
};

// One validation finding: the field path and what is wrong with it.
struct SpecIssue {
    std::string path;
    std::string message;

    friend bool operator==(const SpecIssue&, const SpecIssue&) = default;
};

// Every finding, in check order; empty when the spec is valid. Never throws for a bad value.
std::vector<SpecIssue> validateSpec(const TransformerSpec& spec);

// Number of learned scalars, or no value when the count overflows 64 bits.
std::optional<std::uint64_t> parameterCount(const TransformerSpec& spec);

// The two ports every language model has: a token_ids input "tokens" of width 1 and a logits
// output "logits" of width `vocabulary`.
std::vector<PortSpec> standardPorts(std::uint32_t vocabulary);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
