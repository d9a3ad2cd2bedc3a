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
    const std::vector<ConfigCase> cases = {
        {"architecture", [](Json& c) { c["architectures"] = {"GPT2LMHeadModel"}; },
         "c: architectures names GPT2LMHeadModel; only LlamaForCausalLM and MistralForCausalLM are "
         "supported"},
        {"two architectures",
         [](Json& c) {
             c["architectures"] = {"LlamaForCausalLM", "X"};
         },
         "c: architectures must list exactly one architecture"},
        {"no architectures", [](Json& c) { c.erase("architectures"); },
         "c: architectures is missing"},
        {"rope_scaling",
         [](Json& c) {
             c["rope_scaling"] = {{"type", "linear"}, {"factor", 2.0}};
         },
         "c: rope_scaling is not supported; it must be null or absent"},
        {"attention_bias", [](Json& c) { c["attention_bias"] = true; },
         "c: attention_bias true is not supported"},
        {"mlp_bias", [](Json& c) { c["mlp_bias"] = true; }, "c: mlp_bias true is not supported"},
        {"activation", [](Json& c) { c["hidden_act"] = "gelu"; },
         "c: hidden_act gelu is not supported; only silu is"},
        {"activation type",
         [](Json& c) {
             c["hidden_act"] = {1, 2};
         },
         "c: hidden_act must be a string"},
        {"window",
         [](Json& c) {
             c["architectures"] = {"MistralForCausalLM"};
             c["sliding_window"] = 8;
         },
         "c: sliding_window 8 is below max_position_embeddings 16; windowed attention is not "
         "supported"},
        {"default window",
         [](Json& c) {
             c["architectures"] = {"MistralForCausalLM"};
             c.erase("sliding_window");
             c["max_position_embeddings"] = 8192;
         },
         "c: sliding_window 4096 is below max_position_embeddings 8192; windowed attention is not "
         "supported"},
        {"head_dim", [](Json& c) { c["head_dim"] = 8; },
         "c: head_dim must equal hidden_size / num_attention_heads (4)"},
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

    // A null sliding window switches the window off.
    config["architectures"] = {"MistralForCausalLM"};
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
