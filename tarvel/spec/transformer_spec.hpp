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
// geglu_tanh: the gate projection through the tanh approximation of GELU times the up projection.
enum class FeedForwardKind : std::uint8_t { gelu = 0, swiglu = 1, geglu_tanh = 2 };
enum class DType : std::uint8_t { f32 = 0, f16 = 1, bf16 = 2 };
enum class PortDirection : std::uint8_t { input = 0, output = 1 };
enum class PortKind : std::uint8_t { token_ids = 0, embedding = 1, logits = 2 };
enum class RopeScalingKind : std::uint8_t { none = 0, linear = 1, llama3 = 2 };
// Which layers a sliding window applies to: every one, or those of even index (0, 2, ...).
enum class WindowLayers : std::uint8_t { all = 0, even = 1 };

// How the rotary inverse frequencies are stretched for contexts beyond the trained one.
// linear divides each by factor. llama3 keeps the short wavelengths, divides the long ones by
// factor and blends the two in between (see the guide); it reads every field here.
struct RopeScalingSpec {
    RopeScalingKind kind = RopeScalingKind::none;
    double factor = 1.0;
    double low_freq_factor = 1.0;
    double high_freq_factor = 4.0;
    std::uint32_t original_context = 0;
};

struct PositionSpec {
    PositionKind kind = PositionKind::rope;
    double rope_base = 10000.0;
    RopeScalingSpec scaling{};
};

struct NormalizationSpec {
    NormalizationKind kind = NormalizationKind::rms_norm;
    double epsilon = 1e-5;
    // Every norm scales by 1 + weight instead of weight.
    bool unit_offset = false;
    // Norms of the attention output and of the feed-forward output before their residual sums.
    bool post_attention = false;
    bool post_feed_forward = false;
};

// The attention of every block. The defaults are plain causal attention over every earlier
// position with scores scaled by 1 / sqrt(head_dim).
struct AttentionSpec {
    bool qkv_bias = false;     // biases added to the query, key and value projections
    bool output_bias = false;  // a bias added to the output projection
    bool qk_norm = false;      // RMSNorm over each head of the queries and keys, before rotation
    std::uint32_t window = 0;  // non-zero: a query sees only the last `window` positions
    WindowLayers window_layers = WindowLayers::all;
    double score_scalar = 0.0;   // non-zero: scores are scaled by 1 / sqrt(score_scalar)
    double score_softcap = 0.0;  // non-zero: scores become cap * tanh(score / cap)
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
    AttentionSpec attention{};
    double embedding_scale = 1.0;  // each embedded row is multiplied by it
    double logit_softcap = 0.0;    // non-zero: logits become cap * tanh(logit / cap)
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
