#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "support/specs.hpp"
#include "tarvel/tarvel.hpp"

namespace Nuvexis::Core::Tarvel {
// Readable findings in failure output.
void PrintTo(const SpecIssue& issue, std::ostream* os) {
    *os << "(" << issue.path << ", " << issue.message << ")";
}
}  // namespace Nuvexis::Core::Tarvel

using namespace Nuvexis::Core::Tarvel;

namespace {

using Issues = std::vector<SpecIssue>;

PortSpec port(const char* name, PortDirection direction, PortKind kind, std::uint32_t width,
              const char* schema) {
    return PortSpec{name, direction, kind, width, schema};
}

TransformerSpec validSpec() {
    return tarvel_test::exampleSpec();
}

TEST(SpecDefaults, AreAsDocumented) {
    TransformerSpec spec;
    EXPECT_EQ(spec.position.kind, PositionKind::rope);
    EXPECT_EQ(spec.position.rope_base, 10000.0);
    EXPECT_EQ(spec.normalization.kind, NormalizationKind::rms_norm);
    std::uint64_t bits;
    std::memcpy(&bits, &spec.normalization.epsilon, sizeof bits);
    EXPECT_EQ(bits, 0x3EE4F8B588E368F1u);
    EXPECT_EQ(spec.feed_forward, FeedForwardKind::swiglu);
    EXPECT_EQ(spec.precision.weights, DType::f32);
    EXPECT_EQ(spec.precision.activations, DType::f32);
    EXPECT_EQ(spec.precision.kv_cache, DType::f32);
    EXPECT_TRUE(spec.tied_embeddings);
    EXPECT_TRUE(spec.ports.empty());
    // Every feature of the block off.
    EXPECT_EQ(spec.position.scaling.kind, RopeScalingKind::none);
    EXPECT_FALSE(spec.normalization.unit_offset || spec.normalization.post_attention ||
                 spec.normalization.post_feed_forward);
    EXPECT_FALSE(spec.attention.qkv_bias || spec.attention.output_bias || spec.attention.qk_norm);
    EXPECT_EQ(spec.attention.window, 0u);
    EXPECT_EQ(spec.attention.score_scalar, 0.0);
    EXPECT_EQ(spec.attention.score_softcap, 0.0);
    EXPECT_EQ(spec.embedding_scale, 1.0);
    EXPECT_EQ(spec.logit_softcap, 0.0);
    EXPECT_EQ(static_cast<int>(FeedForwardKind::geglu_tanh), 2);
    EXPECT_EQ(static_cast<int>(RopeScalingKind::llama3), 2);
    EXPECT_EQ(static_cast<int>(WindowLayers::even), 1);
    EXPECT_EQ(static_cast<int>(FeedForwardKind::gelu), 0);
    EXPECT_EQ(static_cast<int>(DType::bf16), 2);
    EXPECT_EQ(static_cast<int>(PortKind::logits), 2);
}

TEST(ValidateSpec, DefaultSpecYieldsTenFindingsInOrder) {
    const Issues expected = {
        {"vocabulary", "must be greater than zero"},
        {"context", "must be greater than zero"},
        {"layers", "must be greater than zero"},
        {"model_dim", "must be greater than zero"},
        {"ffn_dim", "must be greater than zero"},
        {"query_heads", "must be greater than zero"},
        {"kv_heads", "must be greater than zero"},
        {"head_dim", "must be greater than zero"},
        {"ports", "at least one input port is required"},
        {"ports", "at least one output port is required"},
    };
    EXPECT_EQ(validateSpec(TransformerSpec{}), expected);
    EXPECT_EQ(parameterCount(TransformerSpec{}), std::optional<std::uint64_t>{0});
}

struct SpecCase {
    const char* name;
    void (*edit)(TransformerSpec&);
    Issues expected;
};

const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double inf_value = std::numeric_limits<double>::infinity();

TEST(ValidateSpec, FindingsInCheckOrder) {
    const std::vector<SpecCase> cases = {
        {"valid", [](TransformerSpec&) {}, {}},
        {"kv_heads 3 of 4",
         [](TransformerSpec& s) {
             s.query_heads = 4;
             s.kv_heads = 3;
             s.model_dim = 8;
         },
         {{"kv_heads", "must divide query_heads exactly"}}},
        {"kv_heads 5 of 4",
         [](TransformerSpec& s) {
             s.query_heads = 4;
             s.kv_heads = 5;
             s.model_dim = 8;
         },
         {{"kv_heads", "must not exceed query_heads"},
          {"kv_heads", "must divide query_heads exactly"}}},
        // Heads may be wider or narrower than model_dim / query_heads (Gemma 7B, Qwen3).
        {"model_dim apart from query_heads * head_dim",
         [](TransformerSpec& s) { s.model_dim = 6; },
         {}},
        {"odd head_dim",
         [](TransformerSpec& s) {
             s.head_dim = 3;
             s.model_dim = 6;
         },
         {{"head_dim", "must be even for RoPE"}}},
        {"unknown position kind hides evenness",
         [](TransformerSpec& s) {
             s.head_dim = 3;
             s.model_dim = 6;
             s.position.kind = static_cast<PositionKind>(1);
         },
         {{"position.kind", "unknown position encoding"}}},
        {"rope_base 0",
         [](TransformerSpec& s) { s.position.rope_base = 0.0; },
         {{"position.rope_base", "must be finite and greater than zero"}}},
        {"rope_base -1",
         [](TransformerSpec& s) { s.position.rope_base = -1.0; },
         {{"position.rope_base", "must be finite and greater than zero"}}},
        {"rope_base NaN",
         [](TransformerSpec& s) { s.position.rope_base = nan_value; },
         {{"position.rope_base", "must be finite and greater than zero"}}},
        {"rope_base inf",
         [](TransformerSpec& s) { s.position.rope_base = inf_value; },
         {{"position.rope_base", "must be finite and greater than zero"}}},
        {"rope_base tested whatever the kind",
         [](TransformerSpec& s) {
             s.position.kind = static_cast<PositionKind>(9);
             s.position.rope_base = -0.0;
         },
         {{"position.kind", "unknown position encoding"},
          {"position.rope_base", "must be finite and greater than zero"}}},
        {"subnormal base and epsilon pass",
         [](TransformerSpec& s) {
             s.position.rope_base = std::numeric_limits<double>::denorm_min();
             s.normalization.epsilon = std::numeric_limits<double>::denorm_min();
         },
         {}},
        {"normalization",
         [](TransformerSpec& s) {
             s.normalization.kind = static_cast<NormalizationKind>(1);
             s.normalization.epsilon = 0.0;
         },
         {{"normalization.kind", "unknown normalization"},
          {"normalization.epsilon", "must be finite and greater than zero"}}},
        {"codes",
         [](TransformerSpec& s) {
             s.feed_forward = static_cast<FeedForwardKind>(7);
             s.precision.weights = static_cast<DType>(3);
             s.precision.activations = static_cast<DType>(200);
             s.precision.kv_cache = static_cast<DType>(3);
         },
         {{"feed_forward", "unknown feed-forward kind"},
          {"precision.weights", "unknown dtype"},
          {"precision.activations", "unknown dtype"},
          {"precision.kv_cache", "unknown dtype"}}},
        {"duplicate name",
         [](TransformerSpec& s) { s.ports[1].name = "tokens"; },
         {{"ports[1].name", "must be unique"}}},
        {"two empty names",
         [](TransformerSpec& s) {
             s.ports[0].name = "";
             s.ports[1].name = "";
         },
         {{"ports[0].name", "must not be empty"}, {"ports[1].name", "must not be empty"}}},
        {"token_ids output of width 0 as only port",
         [](TransformerSpec& s) {
             s.ports = {port("t", PortDirection::output, PortKind::token_ids, 0, "")};
         },
         {{"ports[0].width", "must be greater than zero"},
          {"ports[0].width", "token_ids width must be one"},
          {"ports[0].direction", "token_ids must be an input"},
          {"ports", "at least one input port is required"}}},
        {"direction 7 logits",
         [](TransformerSpec& s) { s.ports[1].direction = static_cast<PortDirection>(7); },
         {{"ports[1].direction", "unknown direction"},
          {"ports[1].direction", "logits must be an output"},
          {"ports", "at least one output port is required"}}},
        {"unknown kind",
         [](TransformerSpec& s) { s.ports[1].kind = static_cast<PortKind>(3); },
         {{"ports[1].kind", "unknown port kind"}}},
        {"embedding port",
         [](TransformerSpec& s) {
             s.ports.push_back(port("e", PortDirection::input, PortKind::embedding, 3, ""));
         },
         {{"ports[2].width", "embedding width must equal model_dim"},
          {"ports[2].schema", "embedding ports require a schema"}}},
        {"good embedding port",
         [](TransformerSpec& s) {
             s.ports.push_back(port("e", PortDirection::output, PortKind::embedding, 4, "x"));
         },
         {}},
        {"logits width",
         [](TransformerSpec& s) { s.ports[1].width = 10; },
         {{"ports[1].width", "logits width must equal vocabulary"}}},
        {"parameter overflow",
         [](TransformerSpec& s) {
             s.vocabulary = 4294967295u;
             s.model_dim = 4294967295u;
             s.tied_embeddings = false;
             s.ports[1].width = 4294967295u;
         },
         {{"dimensions", "parameter count overflows uint64"}}},
        {"every feature, valid",
         [](TransformerSpec& s) {
             s.position.scaling = {RopeScalingKind::llama3, 8.0, 1.0, 4.0, 8192};
             s.attention = {true, true, true, 4, WindowLayers::even, 256.0, 50.0};
             s.normalization.unit_offset = true;
             s.normalization.post_attention = true;
             s.normalization.post_feed_forward = true;
             s.feed_forward = FeedForwardKind::geglu_tanh;
             s.embedding_scale = 45.25;
             s.logit_softcap = 30.0;
         },
         {}},
        {"scaling kind",
         [](TransformerSpec& s) {
             s.position.scaling.kind = static_cast<RopeScalingKind>(3);
             s.position.scaling.factor = nan_value;  // read by no known kind
         },
         {{"position.scaling.kind", "unknown RoPE scaling"}}},
        {"linear factor",
         [](TransformerSpec& s) {
             s.position.scaling = {RopeScalingKind::linear, 0.0, -1.0, -2.0, 0};
         },
         {{"position.scaling.factor", "must be finite and greater than zero"}}},
        {"llama3 parameters",
         [](TransformerSpec& s) {
             s.position.scaling = {RopeScalingKind::llama3, inf_value, 0.0, 0.0, 0};
         },
         {{"position.scaling.factor", "must be finite and greater than zero"},
          {"position.scaling.low_freq_factor", "must be finite and greater than zero"},
          {"position.scaling.high_freq_factor", "must be finite and greater than low_freq_factor"},
          {"position.scaling.original_context", "must be greater than zero"}}},
        {"llama3 equal frequency factors",
         [](TransformerSpec& s) {
             s.position.scaling = {RopeScalingKind::llama3, 8.0, 4.0, 4.0, 8192};
         },
         {{"position.scaling.high_freq_factor",
           "must be finite and greater than low_freq_factor"}}},
        {"attention and output features",
         [](TransformerSpec& s) {
             s.attention.window_layers = static_cast<WindowLayers>(2);
             s.attention.score_scalar = -1.0;
             s.attention.score_softcap = nan_value;
             s.embedding_scale = 0.0;
             s.logit_softcap = inf_value;
         },
         {{"attention.window_layers", "unknown window layers"},
          {"attention.score_scalar", "must be zero or finite and greater than zero"},
          {"attention.score_softcap", "must be zero or finite and greater than zero"},
          {"embedding_scale", "must be finite and greater than zero"},
          {"logit_softcap", "must be zero or finite and greater than zero"}}},
        {"feed-forward code 3",
         [](TransformerSpec& s) { s.feed_forward = static_cast<FeedForwardKind>(3); },
         {{"feed_forward", "unknown feed-forward kind"}}},
    };
    for (const SpecCase& c : cases) {
        SCOPED_TRACE(c.name);
        TransformerSpec spec = validSpec();
        c.edit(spec);
        EXPECT_EQ(validateSpec(spec), c.expected);
    }
}

TEST(ParameterCount, WorkedExamplesAndOverflow) {
    TransformerSpec spec = validSpec();
    spec.kv_heads = 1;
    EXPECT_EQ(parameterCount(spec), std::optional<std::uint64_t>{328});
    spec.kv_heads = 2;
    EXPECT_EQ(parameterCount(spec), std::optional<std::uint64_t>{360});
    spec.tied_embeddings = false;
    EXPECT_EQ(parameterCount(spec), std::optional<std::uint64_t>{404});
    spec.feed_forward = FeedForwardKind::gelu;
    EXPECT_EQ(parameterCount(spec), std::optional<std::uint64_t>{404 - 2 * 28});
    spec.feed_forward = static_cast<FeedForwardKind>(9);  // unknown codes count as two matrices
    EXPECT_EQ(parameterCount(spec), std::optional<std::uint64_t>{404 - 2 * 28});
    spec.feed_forward = FeedForwardKind::geglu_tanh;  // gated, like swiglu
    EXPECT_EQ(parameterCount(spec), std::optional<std::uint64_t>{404});

    // Per layer: q, k and v biases 4 + 4 + 4, an output bias 4, q and k norms 2 + 2, two post
    // norms 4 + 4. Heads wider than model_dim / query_heads widen q and the output projection.
    TransformerSpec features = validSpec();
    features.attention.qkv_bias = true;
    features.attention.output_bias = true;
    features.attention.qk_norm = true;
    features.normalization.post_attention = true;
    features.normalization.post_feed_forward = true;
    EXPECT_EQ(parameterCount(features), std::optional<std::uint64_t>{360 + 2 * 28});
    TransformerSpec wide = validSpec();
    wide.head_dim = 4;  // q = 8, kv = 8: 4 * (8 + 8 + 8) + 8 * 4 = 128 per layer for attention
    EXPECT_EQ(parameterCount(wide), std::optional<std::uint64_t>{44 + 2 * (128 + 84 + 8) + 4});

    TransformerSpec huge;
    huge.vocabulary = 4294967295u;
    huge.model_dim = 4294967295u;
    EXPECT_TRUE(parameterCount(huge).has_value());  // tied: E alone fits
    huge.tied_embeddings = false;
    EXPECT_FALSE(parameterCount(huge).has_value());
    TransformerSpec layers;
    layers.model_dim = 1u << 20;
    layers.ffn_dim = 1u << 20;
    layers.layers = 4294967295u;
    EXPECT_FALSE(parameterCount(layers).has_value());
}

}  // namespace
