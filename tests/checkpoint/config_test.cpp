// config.json: what is read, the defaults, and one case per refusal with its message.
#include <gtest/gtest.h>

#include <functional>

#include "fixture_checkpoints.hpp"
#include "support/expect_throw.hpp"
#include "tarvel/checkpoint/checkpoint_config.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;
using Json = nlohmann::json;

namespace {

Json baseConfig() {
    return tarvel_test::goldenFixtures()[0].config;
}

struct ConfigCase {
    const char* label;
    std::function<void(Json&)> edit;
    const char* message;
};

TEST(CheckpointConfig, RefusesWhatCannotBeComputedExactlyNamingTheField) {
    const auto family = [](const char* architecture) {
        return [architecture](Json& c) { c["architectures"] = {architecture}; };
    };
    const std::vector<ConfigCase> cases = {
        {"architecture", [](Json& c) { c["architectures"] = {"GPT2LMHeadModel"}; },
         "c: architectures names GPT2LMHeadModel; only LlamaForCausalLM, MistralForCausalLM, "
         "Qwen2ForCausalLM, Qwen3ForCausalLM, GemmaForCausalLM, Gemma2ForCausalLM and "
         "Phi3ForCausalLM are supported"},
        {"two architectures",
         [](Json& c) {
             c["architectures"] = {"LlamaForCausalLM", "X"};
         },
         "c: architectures must list exactly one architecture"},
        {"no architectures", [](Json& c) { c.erase("architectures"); },
         "c: architectures is missing"},
        {"rope_scaling yarn",
         [](Json& c) {
             c["rope_scaling"] = {
                 {"type", "yarn"}, {"factor", 4.0}, {"original_max_position_embeddings", 8}};
         },
         "c: rope_scaling type yarn is not supported; only linear and llama3 are"},
        {"rope_scaling dynamic",
         [](Json& c) {
             c["rope_scaling"] = {{"rope_type", "dynamic"}, {"factor", 2.0}};
         },
         "c: rope_scaling type dynamic is not supported; only linear and llama3 are"},
        {"rope_scaling longrope",
         [](Json& c) {
             c["rope_scaling"] = {{"type", "longrope"}, {"long_factor", {1.0}}};
         },
         "c: rope_scaling type longrope is not supported; only linear and llama3 are"},
        {"rope_scaling not an object", [](Json& c) { c["rope_scaling"] = 2.0; },
         "c: rope_scaling must be an object or null"},
        {"rope_scaling without type",
         [](Json& c) {
             c["rope_scaling"] = {{"factor", 2.0}};
         },
         "c: rope_scaling has no rope_type"},
        {"rope_scaling types differ",
         [](Json& c) {
             c["rope_scaling"] = {{"rope_type", "linear"}, {"type", "llama3"}, {"factor", 2.0}};
         },
         "c: rope_scaling gives rope_type and type that differ"},
        {"rope_scaling extra key",
         [](Json& c) {
             c["rope_scaling"] = {{"type", "linear"}, {"factor", 2.0}, {"attention_factor", 1.0}};
         },
         "c: rope_scaling key attention_factor is not supported"},
        {"llama3 lacks a key",
         [](Json& c) {
             c["rope_scaling"] = {{"rope_type", "llama3"},
                                  {"factor", 8.0},
                                  {"low_freq_factor", 1.0},
                                  {"high_freq_factor", 4.0}};
         },
         "c: rope_scaling of type llama3 lacks original_max_position_embeddings"},
        {"llama3 frequency factors",
         [](Json& c) {
             c["rope_scaling"] = {{"rope_type", "llama3"},
                                  {"factor", 8.0},
                                  {"low_freq_factor", 4.0},
                                  {"high_freq_factor", 4.0},
                                  {"original_max_position_embeddings", 8192}};
         },
         "c: rope_scaling high_freq_factor must be greater than low_freq_factor"},
        {"linear factor",
         [](Json& c) {
             c["rope_scaling"] = {{"type", "linear"}, {"factor", 0.0}};
         },
         "c: rope_scaling factor must be a finite number greater than zero"},
        {"rope_parameters",
         [](Json& c) {
             c["rope_parameters"] = {{"rope_type", "default"}, {"rope_theta", 1e4}};
         },
         "c: rope_parameters is not supported; give rope_theta and rope_scaling"},
        {"partial rotation", [](Json& c) { c["partial_rotary_factor"] = 0.5; },
         "c: partial_rotary_factor 0.5 is not supported; only 1 is"},
        {"experts", [](Json& c) { c["num_local_experts"] = 8; },
         "c: num_local_experts is not supported; mixture-of-experts is not"},
        {"bidirectional", [](Json& c) { c["use_bidirectional_attention"] = true; },
         "c: use_bidirectional_attention true is not supported"},
        {"quantized",
         [](Json& c) {
             c["quantization_config"] = {{"quant_method", "gptq"}};
         },
         "c: quantization_config is not supported; weights must be F64, F32, F16 or BF16"},
        {"mistral attention_bias",
         [&](Json& c) {
             family("MistralForCausalLM")(c);
             c["attention_bias"] = true;
         },
         "c: attention_bias true is not supported"},
        {"phi3 attention_bias",
         [&](Json& c) {
             family("Phi3ForCausalLM")(c);
             c["attention_bias"] = true;
         },
         "c: attention_bias true is not supported"},
        {"mlp_bias", [](Json& c) { c["mlp_bias"] = true; }, "c: mlp_bias true is not supported"},
        {"activation", [](Json& c) { c["hidden_act"] = "gelu"; },
         "c: hidden_act gelu is not supported; only silu is"},
        {"activation type",
         [](Json& c) {
             c["hidden_act"] = {1, 2};
         },
         "c: hidden_act must be a string"},
        {"gemma activation",
         [&](Json& c) {
             family("GemmaForCausalLM")(c);
             c["hidden_activation"] = "gelu";
         },
         "c: hidden_activation gelu is not supported; only gelu_pytorch_tanh is"},
        {"llama window", [](Json& c) { c["sliding_window"] = 8; },
         "c: sliding_window 8 is below max_position_embeddings 16, but LlamaForCausalLM has no "
         "sliding window"},
        {"window value",
         [&](Json& c) {
             family("MistralForCausalLM")(c);
             c["sliding_window"] = 0;
         },
         "c: sliding_window must be null or a positive integer below 2^32"},
        {"qwen window",
         [&](Json& c) {
             family("Qwen2ForCausalLM")(c);
             c["use_sliding_window"] = true;
         },
         "c: use_sliding_window true is not supported"},
        {"layer_types form",
         [&](Json& c) {
             family("Gemma2ForCausalLM")(c);
             c["layer_types"] = {"sliding_attention"};
         },
         "c: layer_types must list full_attention or sliding_attention for every layer"},
        {"layer_types pattern",
         [&](Json& c) {
             family("Gemma2ForCausalLM")(c);
             c["num_hidden_layers"] = 3;
             c["layer_types"] = {"full_attention", "sliding_attention", "sliding_attention"};
         },
         "c: layer_types slides on layers other than every one or the even ones"},
        {"layer_types disagree",
         [&](Json& c) {
             family("MistralForCausalLM")(c);
             c["sliding_window"] = 4;
             c["layer_types"] = {"sliding_attention", "full_attention"};
         },
         "c: layer_types disagrees with the sliding window of MistralForCausalLM"},
        {"gemma dtype",
         [&](Json& c) {
             family("GemmaForCausalLM")(c);
             c["torch_dtype"] = "float64";
         },
         "c: torch_dtype float64 is not supported; only bfloat16, float16 and float32 are"},
        {"gemma dtype key",
         [&](Json& c) {
             family("GemmaForCausalLM")(c);
             c.erase("torch_dtype");
             c["dtype"] = "bfloat16";
         },
         "c: dtype is given without torch_dtype; the embedding scale is rounded to torch_dtype"},
        {"gemma2 cap",
         [&](Json& c) {
             family("Gemma2ForCausalLM")(c);
             c["attn_logit_softcapping"] = -1.0;
         },
         "c: attn_logit_softcapping must be a finite number greater than zero"},
        {"eos",
         [](Json& c) {
             c["eos_token_id"] = {2, 40};
         },
         "c: eos_token_id 40 is not below vocab_size 40"},
        {"eos form", [](Json& c) { c["eos_token_id"] = "2"; },
         "c: eos_token_id must be a token id or a list of them"},
        {"head_dim odd", [](Json& c) { c["head_dim"] = 5; }, "c: head_dim must be even"},
        {"missing size", [](Json& c) { c.erase("hidden_size"); }, "c: hidden_size is missing"},
        {"negative", [](Json& c) { c["vocab_size"] = -1; },
         "c: vocab_size must be a positive integer below 2^32"},
        {"zero", [](Json& c) { c["num_hidden_layers"] = 0; },
         "c: num_hidden_layers must be a positive integer below 2^32"},
        {"huge", [](Json& c) { c["intermediate_size"] = 4294967296ull; },
         "c: intermediate_size must be a positive integer below 2^32"},
        {"eps", [](Json& c) { c["rms_norm_eps"] = 0.0; },
         "c: rms_norm_eps must be a finite number greater than zero"},
        {"theta", [](Json& c) { c["rope_theta"] = "big"; },
         "c: rope_theta must be a finite number greater than zero"},
        {"tied", [](Json& c) { c["tie_word_embeddings"] = 1; },
         "c: tie_word_embeddings must be true or false"},
        {"divisible", [](Json& c) { c["num_attention_heads"] = 3; },
         "c: hidden_size must be a multiple of num_attention_heads"},
        {"odd head", [](Json& c) { c["hidden_size"] = 12; },
         "c: hidden_size / num_attention_heads must be even"},
        {"gqa", [](Json& c) { c["num_key_value_heads"] = 3; },
         "c: num_key_value_heads must divide num_attention_heads"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.label);
        Json config = baseConfig();
        c.edit(config);
        EXPECT_THROW_MSG(parseCheckpointConfig(config.dump(), "c"), std::invalid_argument,
                         c.message);
    }
    EXPECT_THROW_MSG(parseCheckpointConfig("{\"a\":", "c"), std::invalid_argument,
                     "c: config is not well-formed JSON");
    EXPECT_THROW_MSG(parseCheckpointConfig("7", "c"), std::invalid_argument,
                     "c: config is not a JSON object");
}

// The bounds are checked as the text is read, before anything is built: neither refused text
// is even finished, yet each is refused for its size rather than as malformed.
TEST(CheckpointConfig, RefusesJsonTooDeepOrWithTooManyValuesBeforeBuildingIt) {
    EXPECT_THROW_MSG(parseCheckpointConfig("{\"a\": " + std::string(64, '['), "c"),
                     std::invalid_argument, "c: config nests deeper than 64 levels");
    std::string many = "{\"a\": [";
    for (int i = 0; i < 1000000; ++i) many += "0,";
    EXPECT_THROW_MSG(parseCheckpointConfig(many, "c"), std::invalid_argument,
                     "c: config holds more than 1000000 JSON values");
    // Nesting down to the limit itself is read.
    Json config = baseConfig();
    Json deep = Json::array();
    for (int level = 3; level <= 64; ++level) deep = Json::array({deep});
    config["deep"] = deep;
    EXPECT_EQ(parseCheckpointConfig(config.dump(), "c").hidden_size, 16u);
}

TEST(CheckpointConfig, AppliesTheLayoutDefaultsAndMapsToASpec) {
    Json config = baseConfig();
    for (const char* field :
         {"num_key_value_heads", "rope_theta", "hidden_act", "tie_word_embeddings", "rope_scaling",
          "attention_bias", "mlp_bias"}) {
        config.erase(field);
    }
    config["head_dim"] = 4;
    const CheckpointConfig read = parseCheckpointConfig(config.dump(), "c");
    EXPECT_EQ(read.num_key_value_heads, 4u);
    EXPECT_EQ(read.rope_theta, 10000.0);
    EXPECT_FALSE(read.tie_word_embeddings);
    EXPECT_EQ(read.head_dim, 4u);

    // A null sliding window switches the window off. (Mistral's own default is 8 KV heads.)
    config["architectures"] = {"MistralForCausalLM"};
    config["num_key_value_heads"] = 4;
    config["sliding_window"] = nullptr;
    const TransformerSpec spec =
        checkpointSpec(parseCheckpointConfig(config.dump(), "c"), DType::bf16);
    EXPECT_TRUE(validateSpec(spec).empty());
    EXPECT_EQ(spec.vocabulary, 40u);
    EXPECT_EQ(spec.context, 16u);
    EXPECT_EQ(spec.query_heads, 4u);
    EXPECT_EQ(spec.kv_heads, 4u);
    EXPECT_EQ(spec.normalization.epsilon, 1e-5);
    EXPECT_EQ(spec.feed_forward, FeedForwardKind::swiglu);
    EXPECT_EQ(spec.precision.weights, DType::bf16);
    EXPECT_FALSE(spec.tied_embeddings);
    ASSERT_EQ(spec.ports.size(), 2u);
    EXPECT_EQ(spec.ports[0].name, "token_ids");
    EXPECT_EQ(spec.ports[1].kind, PortKind::logits);
    EXPECT_EQ(spec.ports[1].width, 40u);
}

}  // namespace

namespace {

// Only the sizes every config gives; everything else takes the family's defaults.
Json minimalConfig(const char* architecture) {
    return {{"architectures", {architecture}}, {"hidden_size", 64},
            {"intermediate_size", 96},         {"num_hidden_layers", 4},
            {"num_attention_heads", 32},       {"vocab_size", 100},
            {"max_position_embeddings", 8192}};
}

// What each architecture makes of a config that gives nothing but its sizes: its configuration
// class's defaults, and its features as data of the one block.
TEST(CheckpointConfig, EachFamilyMapsItsDefaultsAndFeatures) {
    struct Expected {
        const char* architecture;
        std::uint32_t kv_heads, head_dim;
        double epsilon;
        bool tied, qkv_bias, qk_norm, gemma, gemma2;
        std::uint32_t window;
        WindowLayers layers;
    };
    const Expected families[] = {
        {"LlamaForCausalLM", 32, 2, 1e-6, false, false, false, false, false, 0, WindowLayers::all},
        {"MistralForCausalLM", 8, 2, 1e-6, false, false, false, false, false, 4096,
         WindowLayers::all},
        {"Qwen2ForCausalLM", 32, 2, 1e-6, false, true, false, false, false, 0, WindowLayers::all},
        {"Qwen3ForCausalLM", 32, 128, 1e-6, false, false, true, false, false, 0, WindowLayers::all},
        {"GemmaForCausalLM", 16, 256, 1e-6, true, false, false, true, false, 0, WindowLayers::all},
        {"Gemma2ForCausalLM", 4, 256, 1e-6, true, false, false, true, true, 4096,
         WindowLayers::even},
        {"Phi3ForCausalLM", 32, 2, 1e-5, false, false, false, false, false, 0, WindowLayers::all},
    };
    for (const Expected& e : families) {
        SCOPED_TRACE(e.architecture);
        const CheckpointConfig config =
            parseCheckpointConfig(minimalConfig(e.architecture).dump(), "c");
        const TransformerSpec spec = checkpointSpec(config, DType::bf16);
        EXPECT_TRUE(validateSpec(spec).empty());
        EXPECT_EQ(config.architecture, e.architecture);
        EXPECT_EQ(spec.kv_heads, e.kv_heads);
        EXPECT_EQ(spec.head_dim, e.head_dim);
        EXPECT_EQ(spec.model_dim, 64u);
        EXPECT_EQ(spec.normalization.epsilon, e.epsilon);
        EXPECT_EQ(spec.position.rope_base, 10000.0);
        EXPECT_EQ(spec.position.scaling.kind, RopeScalingKind::none);
        EXPECT_EQ(spec.tied_embeddings, e.tied);
        EXPECT_EQ(spec.attention.qkv_bias, e.qkv_bias);
        EXPECT_FALSE(spec.attention.output_bias);
        EXPECT_EQ(spec.attention.qk_norm, e.qk_norm);
        EXPECT_EQ(spec.attention.window, e.window);
        EXPECT_EQ(spec.attention.window_layers, e.layers);
        EXPECT_EQ(spec.normalization.unit_offset, e.gemma);
        EXPECT_EQ(spec.feed_forward,
                  e.gemma ? FeedForwardKind::geglu_tanh : FeedForwardKind::swiglu);
        // sqrt(64) is 8 in every dtype; the base fixture gives no torch_dtype: float32.
        EXPECT_EQ(spec.embedding_scale, e.gemma ? 8.0 : 1.0);
        EXPECT_EQ(spec.normalization.post_attention, e.gemma2);
        EXPECT_EQ(spec.normalization.post_feed_forward, e.gemma2);
        EXPECT_EQ(spec.attention.score_scalar, e.gemma2 ? 256.0 : 0.0);
        EXPECT_EQ(spec.attention.score_softcap, e.gemma2 ? 50.0 : 0.0);
        EXPECT_EQ(spec.logit_softcap, e.gemma2 ? 30.0 : 0.0);
    }
    // attention_bias puts biases on q, k, v and o where the family reads it; Qwen2 has q, k and
    // v biases whatever it says.
    for (const char* architecture :
         {"LlamaForCausalLM", "Qwen3ForCausalLM", "GemmaForCausalLM", "Gemma2ForCausalLM"}) {
        Json config = minimalConfig(architecture);
        config["attention_bias"] = true;
        const TransformerSpec spec =
            checkpointSpec(parseCheckpointConfig(config.dump(), "c"), DType::f32);
        EXPECT_TRUE(spec.attention.qkv_bias && spec.attention.output_bias) << architecture;
    }
    Json qwen2 = minimalConfig("Qwen2ForCausalLM");
    qwen2["attention_bias"] = false;
    EXPECT_TRUE(parseCheckpointConfig(qwen2.dump(), "c").qkv_bias);
    // Gemma 2's caps are switched off by null.
    Json gemma2 = minimalConfig("Gemma2ForCausalLM");
    gemma2["attn_logit_softcapping"] = nullptr;
    gemma2["final_logit_softcapping"] = nullptr;
    gemma2["query_pre_attn_scalar"] = 144;
    const TransformerSpec uncapped =
        checkpointSpec(parseCheckpointConfig(gemma2.dump(), "c"), DType::f32);
    EXPECT_EQ(uncapped.attention.score_softcap, 0.0);
    EXPECT_EQ(uncapped.logit_softcap, 0.0);
    EXPECT_EQ(uncapped.attention.score_scalar, 144.0);
}

TEST(CheckpointConfig, RotaryScalingTypes) {
    Json config = minimalConfig("LlamaForCausalLM");
    config["rope_scaling"] = {{"rope_type", "llama3"},
                              {"factor", 32.0},
                              {"low_freq_factor", 1.0},
                              {"high_freq_factor", 4.0},
                              {"original_max_position_embeddings", 8192}};
    RopeScalingSpec s = parseCheckpointConfig(config.dump(), "c").rope_scaling;
    EXPECT_EQ(s.kind, RopeScalingKind::llama3);
    EXPECT_EQ(s.factor, 32.0);
    EXPECT_EQ(s.low_freq_factor, 1.0);
    EXPECT_EQ(s.high_freq_factor, 4.0);
    EXPECT_EQ(s.original_context, 8192u);
    // The older "type" key, alone or agreeing with rope_type.
    config["rope_scaling"] = {{"type", "linear"}, {"rope_type", "linear"}, {"factor", 2.0}};
    s = parseCheckpointConfig(config.dump(), "c").rope_scaling;
    EXPECT_EQ(s.kind, RopeScalingKind::linear);
    EXPECT_EQ(s.factor, 2.0);
    config["rope_scaling"] = {{"type", "default"}};
    EXPECT_EQ(parseCheckpointConfig(config.dump(), "c").rope_scaling.kind, RopeScalingKind::none);
    config["rope_scaling"] = nullptr;
    config["partial_rotary_factor"] = 1.0;
    config["num_experts"] = 0;
    EXPECT_EQ(parseCheckpointConfig(config.dump(), "c").rope_scaling.kind, RopeScalingKind::none);
}

// A window matters only below the context; null or absent means what the family says.
TEST(CheckpointConfig, SlidingWindows) {
    struct Case {
        const char* architecture;
        std::function<void(Json&)> edit;
        std::uint32_t window;
        WindowLayers layers;
    };
    const std::vector<Case> cases = {
        {"MistralForCausalLM", [](Json&) {}, 4096, WindowLayers::all},
        {"MistralForCausalLM", [](Json& c) { c["sliding_window"] = nullptr; }, 0,
         WindowLayers::all},
        {"MistralForCausalLM", [](Json& c) { c["max_position_embeddings"] = 4096; }, 0,
         WindowLayers::all},
        {"Phi3ForCausalLM", [](Json& c) { c["sliding_window"] = 2047; }, 2047, WindowLayers::all},
        {"Phi3ForCausalLM", [](Json&) {}, 0, WindowLayers::all},
        {"Gemma2ForCausalLM",
         [](Json& c) {
             c["layer_types"] = {"sliding_attention", "full_attention", "sliding_attention",
                                 "full_attention"};
         },
         4096, WindowLayers::even},
        {"Gemma2ForCausalLM",
         [](Json& c) { c["layer_types"] = std::vector<std::string>(4, "sliding_attention"); }, 4096,
         WindowLayers::all},
        {"Gemma2ForCausalLM",
         [](Json& c) { c["layer_types"] = std::vector<std::string>(4, "full_attention"); }, 0,
         WindowLayers::even},
        {"LlamaForCausalLM", [](Json& c) { c["sliding_window"] = 8192; }, 0, WindowLayers::all},
        {"Qwen2ForCausalLM",
         [](Json& c) {
             c["sliding_window"] = 4096;
             c["use_sliding_window"] = false;
             c["layer_types"] = std::vector<std::string>(4, "full_attention");
         },
         0, WindowLayers::all},
    };
    for (const Case& c : cases) {
        Json config = minimalConfig(c.architecture);
        c.edit(config);
        SCOPED_TRACE(config.dump());
        const CheckpointConfig read = parseCheckpointConfig(config.dump(), "c");
        EXPECT_EQ(read.sliding_window, c.window);
        if (c.window != 0) {
            EXPECT_EQ(read.window_layers, c.layers);
        }
    }
}

// Gemma multiplies by sqrt(hidden_size) held in its dtype: rounded to float32 and then to the
// narrower type, each to nearest with ties to even, as torch converts a double.
TEST(CheckpointConfig, EmbeddingScaleRoundsToTheCheckpointDtype) {
    EXPECT_EQ(roundedEmbeddingScale(2048, "bfloat16"), 45.25);
    EXPECT_EQ(roundedEmbeddingScale(2048, "float16"), 45.25);
    EXPECT_EQ(roundedEmbeddingScale(2048, "float32"), 45.254833221435547);
    EXPECT_EQ(roundedEmbeddingScale(3072, "bfloat16"), 55.5);
    EXPECT_EQ(roundedEmbeddingScale(3072, "float16"), 55.4375);
    EXPECT_EQ(roundedEmbeddingScale(2304, "bfloat16"), 48.0);
    EXPECT_EQ(roundedEmbeddingScale(24, "bfloat16"), 4.90625);
    EXPECT_EQ(roundedEmbeddingScale(4294967295u, "float16"), std::nullopt);  // beyond 65504
    EXPECT_EQ(roundedEmbeddingScale(16, "float64"), std::nullopt);
    Json gemma = minimalConfig("GemmaForCausalLM");
    gemma["hidden_size"] = 3072;
    gemma["torch_dtype"] = "bfloat16";
    EXPECT_EQ(parseCheckpointConfig(gemma.dump(), "c").embedding_scale, 55.5);
    gemma["hidden_size"] = 4294967295u;
    gemma["torch_dtype"] = "float16";
    EXPECT_THROW_MSG(parseCheckpointConfig(gemma.dump(), "c"), std::invalid_argument,
                     "c: sqrt(hidden_size) is beyond the range of float16");
}

TEST(GenerationConfig, ReadsEosIdsAndSamplingDefaults) {
    GenerationDefaults g = parseGenerationConfig(
        R"({"bos_token_id": 1, "eos_token_id": [1, 107], "do_sample": true,
            "temperature": 0.6, "top_p": 0.9, "top_k": 64, "transformers_version": "4.0"})",
        "g");
    EXPECT_EQ(g.eos_ids, (std::vector<std::uint32_t>{1, 107}));
    EXPECT_EQ(g.do_sample, true);
    EXPECT_EQ(g.temperature, 0.6);
    EXPECT_EQ(g.top_p, 0.9);
    EXPECT_EQ(g.top_k, 64u);
    g = parseGenerationConfig(R"({"eos_token_id": 2, "top_k": null})", "g");
    EXPECT_EQ(g.eos_ids, (std::vector<std::uint32_t>{2}));
    EXPECT_FALSE(g.do_sample || g.temperature || g.top_p || g.top_k);

    const std::pair<const char*, const char*> refused[] = {
        {R"({"eos_token_id": -1})", "g: eos_token_id must be a token id or a list of them"},
        {R"({"eos_token_id": [1, "2"]})", "g: eos_token_id must be a token id or a list of them"},
        {R"({"do_sample": 1})", "g: do_sample must be true or false"},
        {R"({"temperature": -0.5})", "g: temperature must be a finite number not below zero"},
        {R"({"top_p": 0})", "g: top_p must be a number above zero and at most one"},
        {R"({"top_p": 1.5})", "g: top_p must be a number above zero and at most one"},
        {R"({"top_k": 2.5})", "g: top_k must be a non-negative integer below 2^32"},
        {R"([1])", "g: generation config is not a JSON object"},
        {R"({"a")", "g: generation config is not well-formed JSON"},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_THROW_MSG(parseGenerationConfig(text, "g"), std::invalid_argument, message);
    }
}

}  // namespace
