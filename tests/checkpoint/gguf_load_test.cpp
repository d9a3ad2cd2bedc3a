// GGUF files as models: small generated models of every tensor type against float64 reference
// logits computed from an independent dequantization; what the loader refuses; the tokenizers
// the metadata describes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>

#include "fixture_checkpoints.hpp"
#include "support/gguf_writer.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;
namespace gv = tarvel_test::gguf_value;

namespace {

nlohmann::json golden() {
    std::ifstream in(TARVEL_GGUF_GOLDEN);
    return nlohmann::json::parse(in);
}

std::vector<std::string> goldenNames() {
    std::vector<std::string> names;
    const nlohmann::json all = golden();
    for (const nlohmann::json& c : all["cases"]) names.push_back(c["name"]);
    return names;
}

class GgufGolden : public ::testing::TestWithParam<std::string> {};

// Within 1e-12 of each row's largest logit of the reference, and cached decoding (a prefill of
// three, then single steps) equal to the full pass bit for bit in both precisions.
TEST_P(GgufGolden, MatchesTheReferenceAndCachedDecodingMatchesTheFullPass) {
    const nlohmann::json cases = golden()["cases"];
    const auto it = std::find_if(cases.begin(), cases.end(),
                                 [&](const nlohmann::json& c) { return c["name"] == GetParam(); });
    ASSERT_NE(it, cases.end());
    const LoadedCheckpoint checkpoint = loadCheckpoint(std::filesystem::path(TARVEL_GGUF_FIXTURES) /
                                                       (*it)["file"].get<std::string>());
    const TransformerModel& model = *checkpoint.model;
    const auto tokens = (*it)["tokens"].get<std::vector<std::uint32_t>>();
    const auto rows = (*it)["logits"].get<std::vector<std::vector<double>>>();
    const std::uint64_t n = tokens.size(), v = model.spec().vocabulary;
    const Tensor full = model.forward(TokenBatch{1, n, tokens, {}});
    ASSERT_EQ(rows.size(), n);
    double worst = 0.0;
    for (std::uint64_t t = 0; t < n; ++t) {
        ASSERT_EQ(rows[t].size(), v);
        double largest = 0.0;
        for (const double x : rows[t]) largest = std::max(largest, std::fabs(x));
        for (std::uint64_t u = 0; u < v; ++u) {
            worst = std::max(worst, std::fabs(full.data[t * v + u] - rows[t][u]) / largest);
        }
    }
    EXPECT_LE(worst, 1e-12);

    // The blocks computed in place give the bits of their widened doubles.
    const Tensor widened = transformerForward(model.spec(), model.weights(),
                                              TokenBatch{1, n, tokens, {}}, ForwardOptions{});
    EXPECT_EQ(widened.data, full.data);

    for (const bool dp : {true, false}) {
        const Tensor pass =
            dp ? full
               : model.forward(TokenBatch{1, n, tokens, {}}, ForwardOptions{false, {}, true});
        TransformerKvSession session(checkpoint.model, 1);
        TransformerKvOptions options;
        options.double_precision = dp;
        std::uint64_t done = 0;
        while (done < n) {
            const std::uint64_t width = done == 0 ? 3 : 1;
            const std::vector<std::uint32_t> chunk(
                tokens.begin() + static_cast<std::ptrdiff_t>(done),
                tokens.begin() + static_cast<std::ptrdiff_t>(done + width));
            const TransformerKvStep step =
                forwardCached(TokenBatch{1, width, chunk, {}}, session, options);
            for (std::uint64_t k = 0; k < width * v; ++k) {
                ASSERT_EQ(step.logits.data[k], pass.data[done * v + k])
                    << "position " << done + k / v << (dp ? " double" : " float32");
            }
            done += width;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, GgufGolden, ::testing::ValuesIn(goldenNames()),
                         [](const auto& param_info) { return param_info.param; });

// A tiny llama model in F32, for the refusals below: dim 8, two heads of 4, one KV head,
// feed-forward 8, one layer, vocabulary 6.
tarvel_test::GgufBuilder tinyModel() {
    tarvel_test::GgufBuilder b;
    b.add("general.architecture", gv::str("llama"))
        .add("llama.context_length", gv::u32(16))
        .add("llama.embedding_length", gv::u32(8))
        .add("llama.feed_forward_length", gv::u32(8))
        .add("llama.block_count", gv::u32(1))
        .add("llama.attention.head_count", gv::u32(2))
        .add("llama.attention.head_count_kv", gv::u32(1))
        .add("llama.attention.layer_norm_rms_epsilon", gv::f32(1e-5f));
    std::uint32_t seed = 1;
    const auto tensor = [&](const std::string& name, std::vector<std::uint64_t> dims) {
        std::uint64_t count = 1;
        for (const std::uint64_t d : dims) count *= d;
        std::vector<std::uint8_t> data;
        for (std::uint64_t k = 0; k < count; ++k) {
            seed = seed * 1103515245u + 12345u;
            const float x = static_cast<float>((seed >> 8) % 2001) / 1000.0f - 1.0f;
            tarvel_test::putLe(data, std::bit_cast<std::uint32_t>(x), 4);
        }
        b.tensor({name, std::move(dims), 0, std::nullopt, std::move(data), std::nullopt, true});
    };
    tensor("token_embd.weight", {8, 6});
    tensor("blk.0.attn_norm.weight", {8});
    tensor("blk.0.attn_q.weight", {8, 8});
    tensor("blk.0.attn_k.weight", {8, 4});
    tensor("blk.0.attn_v.weight", {8, 4});
    tensor("blk.0.attn_output.weight", {8, 8});
    tensor("blk.0.ffn_norm.weight", {8});
    tensor("blk.0.ffn_gate.weight", {8, 8});
    tensor("blk.0.ffn_up.weight", {8, 8});
    tensor("blk.0.ffn_down.weight", {8, 8});
    tensor("output_norm.weight", {8});
    return b;
}

std::filesystem::path writeModel(const tarvel_test::GgufBuilder& b, const std::string& name) {
    const auto dir = tarvel_test::freshDirectory("gguf-load");
    const auto path = dir / (name + ".gguf");
    tarvel_test::writeBytes(path, b.build());
    return path;
}

void setValue(tarvel_test::GgufBuilder& b, const std::string& key, tarvel_test::GgufValue value) {
    for (auto& [k, v] : b.metadata) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    b.add(key, std::move(value));
}

void removeValue(tarvel_test::GgufBuilder& b, const std::string& key) {
    std::erase_if(b.metadata, [&](const auto& entry) { return entry.first == key; });
}

TEST(GgufLoad, ATinyModelLoadsAsTheFamilysSpec) {
    const LoadedCheckpoint c = loadCheckpoint(writeModel(tinyModel(), "tiny"));
    const TransformerSpec& s = c.model->spec();
    EXPECT_EQ(s.vocabulary, 6u);
    EXPECT_EQ(s.model_dim, 8u);
    EXPECT_EQ(s.head_dim, 4u);
    EXPECT_EQ(s.kv_heads, 1u);
    EXPECT_EQ(s.context, 16u);
    EXPECT_TRUE(s.tied_embeddings);
    EXPECT_EQ(s.normalization.epsilon, 9.999999747378752e-06);  // the float32 1e-5, exactly
    EXPECT_FALSE(c.tokenizer.has_value());
}

struct Refusal {
    const char* name;
    void (*change)(tarvel_test::GgufBuilder&);
    const char* message;  // after "<path>: "
};

TEST(GgufLoad, RefusesWhatItCannotComputeNamingTheKeyOrTensor) {
    const Refusal cases[] = {
        {"no architecture", [](auto& b) { removeValue(b, "general.architecture"); },
         "general.architecture is missing"},
        {"other architecture",
         [](auto& b) { setValue(b, "general.architecture", gv::str("bert")); },
         "architecture 'bert' is not supported (llama, qwen2, qwen3, gemma, gemma2 and phi3 are)"},
        {"missing size", [](auto& b) { removeValue(b, "llama.block_count"); },
         "llama.block_count is missing"},
        {"zero size", [](auto& b) { setValue(b, "llama.embedding_length", gv::u32(0)); },
         "llama.embedding_length must be a positive integer below 2^32, not 0"},
        {"wrong type", [](auto& b) { setValue(b, "llama.block_count", gv::str("1")); },
         "llama.block_count: expected an unsigned integer"},
        {"bad epsilon",
         [](auto& b) { setValue(b, "llama.attention.layer_norm_rms_epsilon", gv::f32(-1.0f)); },
         "llama.attention.layer_norm_rms_epsilon must be a finite number above zero"},
        {"partial rotation", [](auto& b) { setValue(b, "llama.rope.dimension_count", gv::u32(2)); },
         "llama.rope.dimension_count 2: partial rotation is not supported"},
        {"yarn", [](auto& b) { setValue(b, "llama.rope.scaling.type", gv::str("yarn")); },
         "llama.rope.scaling.type 'yarn' is not supported"},
        {"experts", [](auto& b) { setValue(b, "llama.expert_count", gv::u32(8)); },
         "llama.expert_count: mixture-of-experts models are not supported"},
        {"vocabulary disagrees", [](auto& b) { setValue(b, "llama.vocab_size", gv::u32(7)); },
         "llama.vocab_size 7 differs from the embedding's 6 rows"},
        {"missing tensor", [](auto& b) { b.tensors.erase(b.tensors.begin() + 4); },
         "tensor blk.0.attn_v.weight is missing"},
        {"wrong shape",
         [](auto& b) {
             b.tensors[4].dims = {4, 8};
         },
         "tensor blk.0.attn_v.weight has shape [8, 4], expected [4, 8]"},
        {"unexpected tensor",
         [](auto& b) {
             b.tensor({"blk.0.extra.weight", {8}, 0, std::nullopt, {}, std::nullopt, true});
         },
         "unexpected tensor blk.0.extra.weight"},
        {"frequency factors",
         [](auto& b) {
             b.tensor({"rope_freqs.weight", {2}, 0, std::nullopt, {}, std::nullopt, true});
         },
         "tensor rope_freqs.weight: stored rotary frequency factors are not supported"},
        {"not finite",
         [](auto& b) {
             b.tensors[1].data.assign(32, 0);
             b.tensors[1].data[3] = 0x7f;
             b.tensors[1].data[2] = 0x80;  // +inf
         },
         "tensor blk.0.attn_norm.weight contains NaN/Inf"},
        {"unknown tokenizer",
         [](auto& b) {
             b.add("tokenizer.ggml.model", gv::str("bert"));
             b.add("tokenizer.ggml.tokens", gv::array(8, {gv::str("a")}));
         },
         "tokenizer.ggml.model 'bert' is not supported (llama and gpt2 are)"},
        {"unknown pre-tokenizer",
         [](auto& b) {
             b.add("tokenizer.ggml.model", gv::str("gpt2"));
             b.add("tokenizer.ggml.pre", gv::str("falcon"));
             b.add("tokenizer.ggml.tokens", gv::array(8, {gv::str("a")}));
         },
         "tokenizer.ggml.pre 'falcon' is not supported"},
        {"token type",
         [](auto& b) {
             b.add("tokenizer.ggml.model", gv::str("gpt2"));
             b.add("tokenizer.ggml.tokens", gv::array(8, {gv::str("a"), gv::str("b")}));
             b.add("tokenizer.ggml.token_type", gv::array(5, {gv::i32(1), gv::i32(9)}));
         },
         "tokenizer.ggml.token_type of token 1 is 9, not a token type"},
        {"bos past the tokens",
         [](auto& b) {
             b.add("tokenizer.ggml.model", gv::str("gpt2"));
             b.add("tokenizer.ggml.tokens", gv::array(8, {gv::str("a"), gv::str("b")}));
             b.add("tokenizer.ggml.bos_token_id", gv::u32(5));
         },
         "tokenizer.ggml.bos_token_id 5 is not a token id (2 tokens)"},
        {"more tokens than rows",
         [](auto& b) {
             std::vector<tarvel_test::GgufValue> tokens;
             for (int k = 0; k < 7; ++k) tokens.push_back(gv::str(std::string(1, char('a' + k))));
             b.add("tokenizer.ggml.model", gv::str("gpt2"));
             b.add("tokenizer.ggml.tokens", gv::array(8, tokens));
         },
         "tokenizer has 7 tokens, more than the embedding's 6 rows"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        tarvel_test::GgufBuilder b = tinyModel();
        c.change(b);
        const auto path = writeModel(b, "refused");
        try {
            (void)loadCheckpoint(path);
            ADD_FAILURE() << "loaded";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), path.string() + ": " + c.message);
        }
    }
}

// A stored classifier with the embedding's bytes is the tied embedding; other bytes make an
// untied model.
TEST(GgufLoad, AStoredClassifierIsTiedOnlyWhenItHoldsTheEmbeddingsBytes) {
    tarvel_test::GgufBuilder same = tinyModel();
    tarvel_test::GgufTensorEntry output = same.tensors.front();
    output.name = "output.weight";
    same.tensor(output);
    EXPECT_TRUE(loadCheckpoint(writeModel(same, "same")).model->spec().tied_embeddings);
    output.data[0] ^= 1;
    tarvel_test::GgufBuilder other = tinyModel();
    other.tensor(output);
    EXPECT_FALSE(loadCheckpoint(writeModel(other, "other")).model->spec().tied_embeddings);
}

// A gpt2 vocabulary with the llama-bpe pre-tokenizer encodes as the tokenizer.json of the same
// tokens, merges and pre-tokenizer does.
TEST(GgufLoad, AGpt2VocabularyEncodesAsItsTokenizerJson) {
    std::ifstream in(TARVEL_BYTE_LEVEL_FIXTURE);
    nlohmann::json json = nlohmann::json::parse(in);
    // The file's own conventions made those the pre-tokenizer name stands for.
    json["normalizer"] = nullptr;
    json["model"]["ignore_merges"] = true;
    std::map<std::uint32_t, std::string> by_id;
    for (const auto& [token, id] : json["model"]["vocab"].items()) by_id[id] = token;
    std::vector<tarvel_test::GgufValue> tokens, types, merges;
    for (const nlohmann::json& added : json["added_tokens"]) by_id[added["id"]] = added["content"];
    std::map<std::uint32_t, std::int32_t> kind;
    for (const nlohmann::json& added : json["added_tokens"])
        kind[added["id"]] = added["special"] ? 3 : 4;
    for (std::uint32_t id = 0; id <= by_id.rbegin()->first; ++id) {
        const auto found = by_id.find(id);
        const std::string token =
            found != by_id.end() ? found->second : "[PAD" + std::to_string(id) + "]";
        tokens.push_back(gv::str(token));
        types.push_back(gv::i32(found == by_id.end() ? 5 : kind.count(id) ? kind[id] : 1));
        if (found == by_id.end()) json["model"]["vocab"][token] = id;
    }
    for (const nlohmann::json& m : json["model"]["merges"]) {
        merges.push_back(gv::str(m.is_string()
                                     ? m.get<std::string>()
                                     : m[0].get<std::string>() + " " + m[1].get<std::string>()));
    }
    const std::uint32_t bos =
        json["post_processor"]["processors"][1]["special_tokens"]["<|begin|>"]["ids"][0];
    // The file adds BOS and no EOS.
    json["post_processor"] = {
        {"type", "TemplateProcessing"},
        {"single",
         {{{"SpecialToken", {{"id", "<|begin|>"}, {"type_id", 0}}}},
          {{"Sequence", {{"id", "A"}, {"type_id", 0}}}}}},
        {"pair", nlohmann::json::array()},
        {"special_tokens",
         {{"<|begin|>", {{"id", "<|begin|>"}, {"ids", {bos}}, {"tokens", {"<|begin|>"}}}}}}};
    tarvel_test::GgufBuilder b = tinyModel();
    b.tensors.front().dims = {8, tokens.size()};
    b.tensors.front().data.clear();
    for (std::size_t k = 0; k < 8 * tokens.size(); ++k)
        tarvel_test::putLe(b.tensors.front().data, std::bit_cast<std::uint32_t>(0.25f), 4);
    b.add("tokenizer.ggml.model", gv::str("gpt2"))
        .add("tokenizer.ggml.pre", gv::str("llama-bpe"))
        .add("tokenizer.ggml.tokens", gv::array(8, tokens))
        .add("tokenizer.ggml.token_type", gv::array(5, types))
        .add("tokenizer.ggml.merges", gv::array(8, merges))
        .add("tokenizer.ggml.bos_token_id", gv::u32(bos))
        .add("tokenizer.ggml.add_bos_token", gv::boolean(1));
    const LoadedCheckpoint c = loadCheckpoint(writeModel(b, "gpt2"));
    const Tokenizer reference = Tokenizer::fromJson(json.dump(), "reference");
    for (const std::string text :
         {"Hello world", "  spaces and\nnewlines\n\n", "numbers 12345 and 'll",
          "<|begin|>special<tool> text", "ünïcödé ☃ 😀"}) {
        EXPECT_EQ(c.tokenizer->encode(text), reference.encode(text)) << text;
        EXPECT_EQ(c.tokenizer->decode(c.tokenizer->encode(text)),
                  reference.decode(reference.encode(text)));
    }
}

}  // namespace
