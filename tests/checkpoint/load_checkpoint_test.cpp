// Whole folders: every tensor-level refusal names its file and tensor; sharding faults; a FIFO
// or folder in place of any file is refused at once; a folder without a tokenizer loads unbound.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>

#include "fixture_checkpoints.hpp"
#include "support/expect_throw.hpp"
#include "support/fifo.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;
using tarvel_test::FixtureCheckpoint;
using tarvel_test::StoredTensor;

namespace {

StoredTensor& find(FixtureCheckpoint& c, const std::string& name) {
    for (StoredTensor& t : c.tensors) {
        if (t.name == name) return t;
    }
    throw std::logic_error("no fixture tensor " + name);
}

void erase(FixtureCheckpoint& c, const std::string& name) {
    std::erase_if(c.tensors, [&](const StoredTensor& t) { return t.name == name; });
}

struct FolderCase {
    const char* label;
    std::size_t fixture;  // index into goldenFixtures()
    std::function<void(FixtureCheckpoint&)> edit;
    std::string file;  // "" for the folder itself
    std::string problem;
};

// The index of a family's float32 folder in goldenFixtures().
std::size_t familyFixture(const std::string& name) {
    const std::vector<FixtureCheckpoint> all = tarvel_test::goldenFixtures();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].name == name) return i;
    }
    throw std::invalid_argument("no fixture " + name);
}

TEST(LoadCheckpoint, RefusesEachTensorFaultNamingFileAndTensor) {
    const std::string q = "model.layers.0.self_attn.q_proj.weight";
    const std::size_t phi3 = familyFixture("phi3_float32"),
                      gemma2 = familyFixture("gemma2_float32"),
                      qwen2 = familyFixture("qwen2_float32"),
                      qwen3 = familyFixture("qwen3_float32");
    const std::vector<FolderCase> cases = {
        {"missing", 0, [](FixtureCheckpoint& c) { erase(c, "model.norm.weight"); }, "",
         "tensor model.norm.weight is missing"},
        {"layers beyond the files", 0,
         [](FixtureCheckpoint& c) { c.config["num_hidden_layers"] = 4000000000u; }, "",
         "tensor model.layers.2.input_layernorm.weight is missing"},
        {"unexpected bias", 0,
         [&](FixtureCheckpoint& c) {
             c.tensors.push_back({"model.layers.0.self_attn.q_proj.bias",
                                  "F32",
                                  {16},
                                  std::vector<double>(16, 0.0),
                                  {}});
         },
         "model.safetensors", "unexpected tensor model.layers.0.self_attn.q_proj.bias"},
        {"head when tied", 2,
         [](FixtureCheckpoint& c) {
             c.tensors.push_back(
                 {"lm_head.weight", "F16", {40, 16}, std::vector<double>(640, 0.5), {}});
         },
         "model.safetensors",
         "tensor lm_head.weight differs from model.embed_tokens.weight, but tie_word_embeddings "
         "is true"},
        {"fused missing", phi3,
         [](FixtureCheckpoint& c) { erase(c, "model.layers.1.mlp.gate_up_proj.weight"); }, "",
         "tensor model.layers.1.mlp.gate_up_proj.weight is missing"},
        {"fused shape", phi3,
         [](FixtureCheckpoint& c) {
             StoredTensor& t = find(c, "model.layers.0.self_attn.qkv_proj.weight");
             t.shape = {24, 16};
             t.values.resize(24 * 16);
         },
         "model.safetensors",
         "tensor model.layers.0.self_attn.qkv_proj.weight has shape [24, 16], expected [32, 16]"},
        {"unfused beside fused", phi3,
         [](FixtureCheckpoint& c) {
             c.tensors.push_back({"model.layers.0.mlp.up_proj.weight",
                                  "F32",
                                  {24, 16},
                                  std::vector<double>(24 * 16, 0.0),
                                  {}});
         },
         "model.safetensors", "unexpected tensor model.layers.0.mlp.up_proj.weight"},
        {"gemma 2 norm missing", gemma2,
         [](FixtureCheckpoint& c) { erase(c, "model.layers.0.pre_feedforward_layernorm.weight"); },
         "", "tensor model.layers.0.pre_feedforward_layernorm.weight is missing"},
        {"gemma 2 layers beyond the files", gemma2,
         [](FixtureCheckpoint& c) { c.config["num_hidden_layers"] = 4000000000u; }, "",
         "tensor model.layers.2.input_layernorm.weight is missing"},
        {"qwen2 bias shape", qwen2,
         [](FixtureCheckpoint& c) {
             StoredTensor& t = find(c, "model.layers.1.self_attn.k_proj.bias");
             t.shape = {16};
             t.values.resize(16);
         },
         "model.safetensors",
         "tensor model.layers.1.self_attn.k_proj.bias has shape [16], expected [8]"},
        {"qwen3 norm nan", qwen3,
         [](FixtureCheckpoint& c) {
             find(c, "model.layers.0.self_attn.k_norm.weight").values[3] = std::nan("");
         },
         "model.safetensors", "tensor model.layers.0.self_attn.k_norm.weight contains NaN/Inf"},
        {"shape", 0,
         [](FixtureCheckpoint& c) {
             StoredTensor& t = find(c, "model.norm.weight");
             t.shape = {15};
             t.values.resize(15);
         },
         "model.safetensors", "tensor model.norm.weight has shape [15], expected [16]"},
        {"transposed", 0,
         [](FixtureCheckpoint& c) {
             find(c, "model.layers.1.mlp.down_proj.weight").shape = {24, 16};
         },
         "model.safetensors",
         "tensor model.layers.1.mlp.down_proj.weight has shape [24, 16], expected [16, 24]"},
        {"dtype", 0,
         [](FixtureCheckpoint& c) {
             StoredTensor& t = find(c, "model.norm.weight");
             t.dtype = "I32";
             t.raw.assign(64, 0);
         },
         "model.safetensors",
         "tensor model.norm.weight has dtype I32; only F64, F32, F16 and BF16 are supported"},
        {"nan", 0, [&](FixtureCheckpoint& c) { find(c, q).values[37] = std::nan(""); },
         "model.safetensors", "tensor " + q + " contains NaN/Inf"},
        {"inf", 2,
         [](FixtureCheckpoint& c) { find(c, "model.embed_tokens.weight").values[5] = INFINITY; },
         "model.safetensors", "tensor model.embed_tokens.weight contains NaN/Inf"},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.label);
        FixtureCheckpoint fixture = tarvel_test::goldenFixtures()[c.fixture];
        c.edit(fixture);
        const auto dir = tarvel_test::freshDirectory(std::string("refuse-") + c.label);
        tarvel_test::writeCheckpoint(dir, fixture);
        const std::string where = c.file.empty() ? dir.string() : (dir / c.file).string();
        EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument, where + ": " + c.problem);
        std::filesystem::remove_all(dir);
    }
}

TEST(LoadCheckpoint, RefusesShardsThatDisagreeWithTheIndex) {
    const FixtureCheckpoint fixture = tarvel_test::goldenFixtures()[4];
    const auto dir = tarvel_test::freshDirectory("shards");
    const auto shard1 = dir / "model-00001-of-00003.safetensors";
    const auto index = dir / "model.safetensors.index.json";
    const auto rewriteIndex = [&](const std::function<void(nlohmann::json&)>& edit) {
        tarvel_test::writeCheckpoint(dir, fixture);
        std::ifstream in(index);
        nlohmann::json json = nlohmann::json::parse(in);
        edit(json);
        tarvel_test::writeText(index, json.dump());
    };

    rewriteIndex([](nlohmann::json& j) { j["weight_map"].erase("model.embed_tokens.weight"); });
    EXPECT_THROW_MSG(
        loadCheckpoint(dir), std::invalid_argument,
        shard1.string() + ": tensor model.embed_tokens.weight is not listed in the index");

    rewriteIndex([](nlohmann::json& j) {
        j["weight_map"]["model.embed_tokens.weight"] = "model-00002-of-00003.safetensors";
    });
    EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                     shard1.string() +
                         ": tensor model.embed_tokens.weight is listed under "
                         "model-00002-of-00003.safetensors in the index");

    rewriteIndex([](nlohmann::json& j) {
        j["weight_map"]["model.extra.weight"] = "model-00002-of-00003.safetensors";
    });
    EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                     (dir / "model-00002-of-00003.safetensors").string() +
                         ": tensor model.extra.weight listed in the index is missing");

    rewriteIndex([](nlohmann::json& j) {
        j["weight_map"]["model.extra.weight"] = "model-00009-of-00009.safetensors";
    });
    EXPECT_THROW(loadCheckpoint(dir), std::invalid_argument);  // cannot open, with the OS's reason

    std::filesystem::remove(index);
    EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                     dir.string() + ": no model.safetensors or model.safetensors.index.json");
    std::filesystem::remove(dir / "config.json");
    EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                     (dir / "config.json").string() + ": file is missing");
    std::filesystem::remove_all(dir);
}

struct PlantedCase {
    const char* label;
    std::size_t fixture;
    const char* file;
    bool folder;  // a folder there, else a FIFO that nobody writes to
    const char* problem;
};

TEST(LoadCheckpoint, RefusesAFifoOrFolderInPlaceOfEachFileWithoutWaiting) {
    const std::vector<PlantedCase> cases = {
        {"config", 0, "config.json", false, "not a regular file"},
        {"config folder", 0, "config.json", true, "not a regular file"},
        {"weights", 0, "model.safetensors", false, "not a regular file"},
        {"index", 4, "model.safetensors.index.json", false, "not a regular file"},
        {"shard", 4, "model-00002-of-00003.safetensors", false, "not a regular file"},
        {"tokenizer config", 0, "tokenizer_config.json", false, "not a regular file"},
        {"tokenizer", 0, "tokenizer.model", false, "tokenizer file is not a regular file"},
        {"tokenizer folder", 0, "tokenizer.model", true, "tokenizer file is not a regular file"},
    };
    for (const PlantedCase& c : cases) {
        SCOPED_TRACE(c.label);
        const auto dir = tarvel_test::freshDirectory(std::string("planted-") + c.label);
        tarvel_test::writeCheckpoint(dir, tarvel_test::goldenFixtures()[c.fixture]);
        // The tokenizer files are refused before their bytes would be parsed.
        tarvel_test::writeText(dir / "tokenizer.model", "never parsed");
        tarvel_test::writeText(dir / "tokenizer_config.json", "{}");
        const std::filesystem::path planted = dir / c.file;
        if (c.folder) {
            std::filesystem::remove(planted);
            std::filesystem::create_directory(planted);
        } else {
            tarvel_test::makeFifo(planted);
        }
        tarvel_test::runBesideFifo(planted, [&] {
            EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                             planted.string() + ": " + c.problem);
        });
        std::filesystem::remove_all(dir);
    }
}

TEST(LoadCheckpoint, RefusesATokenizerConfigNestedTooDeepBeforeReadingItAll) {
    const auto dir = tarvel_test::freshDirectory("deep-tokenizer-config");
    tarvel_test::writeCheckpoint(dir, tarvel_test::goldenFixtures()[0]);
    tarvel_test::writeText(dir / "tokenizer.model", "never parsed");
    // Never closed: the depth is refused where it is passed, before the text ends.
    tarvel_test::writeText(dir / "tokenizer_config.json", "{\"a\": " + std::string(64, '['));
    EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                     (dir / "tokenizer_config.json").string() +
                         ": tokenizer config nests deeper than 64 levels");
    std::filesystem::remove_all(dir);
}

TEST(LoadCheckpoint, AFolderWithoutTokenizerLoadsUnboundAndReportsProgress) {
    const FixtureCheckpoint fixture = tarvel_test::goldenFixtures()[0];
    const auto dir = tarvel_test::freshDirectory("unbound");
    tarvel_test::writeCheckpoint(dir, fixture);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    CheckpointOptions options;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        reports.emplace_back(done, total);
    };
    const LoadedCheckpoint checkpoint = loadCheckpoint(dir, options);
    EXPECT_FALSE(checkpoint.tokenizer.has_value());
    EXPECT_FALSE(checkpoint.model->tokenizer_identity().has_value());
    ASSERT_EQ(reports.size(), fixture.tensors.size());
    EXPECT_EQ(reports.back().first, reports.back().second);
    EXPECT_EQ(checkpoint.model->weights().layers.size(), 2u);
    // The config's stored order is undone: q row 1 is stored row hd / 2 = 2 of head 0.
    const auto& stored =
        find(const_cast<FixtureCheckpoint&>(fixture), "model.layers.0.self_attn.q_proj.weight");
    EXPECT_EQ(checkpoint.model->weights().layers[0].query.data[16], stored.values[2 * 16]);
    std::filesystem::remove_all(dir);
}

// A tied model's stored lm_head.weight is accepted when it holds the embedding's very bytes.
TEST(LoadCheckpoint, ATiedHeadWithTheEmbeddingsBytesIsAccepted) {
    FixtureCheckpoint fixture = tarvel_test::goldenFixtures()[2];
    const auto plain_dir = tarvel_test::freshDirectory("tied-plain");
    tarvel_test::writeCheckpoint(plain_dir, fixture);
    StoredTensor head = find(fixture, "model.embed_tokens.weight");
    head.name = "lm_head.weight";
    fixture.tensors.push_back(head);
    const auto dir = tarvel_test::freshDirectory("tied-head");
    tarvel_test::writeCheckpoint(dir, fixture);
    EXPECT_EQ(loadCheckpoint(dir).model->artifact_checksum(),
              loadCheckpoint(plain_dir).model->artifact_checksum());
    // The same values in another dtype are other bytes.
    fixture.tensors.back().dtype = "F32";
    tarvel_test::writeCheckpoint(dir, fixture);
    EXPECT_THROW_MSG(loadCheckpoint(dir), std::invalid_argument,
                     (dir / "model.safetensors").string() +
                         ": tensor lm_head.weight differs from model.embed_tokens.weight, but "
                         "tie_word_embeddings is true");
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(plain_dir);
}

// Phi-3's fused projections are split at load: rows of qkv_proj are q, k, v; rows of
// gate_up_proj are gate, up.
TEST(LoadCheckpoint, FusedProjectionsAreSplit) {
    const FixtureCheckpoint fixture = tarvel_test::goldenFixtures()[familyFixture("phi3_float32")];
    const auto dir = tarvel_test::freshDirectory("fused");
    tarvel_test::writeCheckpoint(dir, fixture);
    const LoadedCheckpoint loaded = loadCheckpoint(dir);
    const TransformerWeights& w = loaded.model->weights();
    const StoredTensor& qkv =
        find(const_cast<FixtureCheckpoint&>(fixture), "model.layers.1.self_attn.qkv_proj.weight");
    const StoredTensor& gate_up =
        find(const_cast<FixtureCheckpoint&>(fixture), "model.layers.1.mlp.gate_up_proj.weight");
    const std::uint64_t d = 16, q = 16, kv = 8, f = 24, hd = 4;
    ASSERT_EQ(w.layers[1].query.shape, (std::vector<std::uint64_t>{q, d}));
    ASSERT_EQ(w.layers[1].key.shape, (std::vector<std::uint64_t>{kv, d}));
    ASSERT_EQ(w.layers[1].value.shape, (std::vector<std::uint64_t>{kv, d}));
    for (std::uint64_t r = 0; r < kv; ++r) {
        for (std::uint64_t c = 0; c < d; ++c) {
            // Keys rotate, so their rows come back from half-split order; values do not.
            EXPECT_EQ(w.layers[1].key.data[r * d + c],
                      qkv.values[(q + halfSplitRow(r, hd)) * d + c]);
            EXPECT_EQ(w.layers[1].value.data[r * d + c], qkv.values[(q + kv + r) * d + c]);
        }
    }
    for (std::uint64_t r = 0; r < f; ++r) {
        for (std::uint64_t c = 0; c < d; ++c) {
            EXPECT_EQ(w.layers[1].ffn_gate.data[r * d + c], gate_up.values[r * d + c]);
            EXPECT_EQ(w.layers[1].ffn_up.data[r * d + c], gate_up.values[(f + r) * d + c]);
        }
    }
    std::filesystem::remove_all(dir);
}

// generation_config.json's eos_token_id and sampling defaults, else config.json's eos_token_id;
// an id past the vocabulary is refused naming the file.
TEST(LoadCheckpoint, GenerationDefaultsComeFromGenerationConfig) {
    const FixtureCheckpoint fixture = tarvel_test::goldenFixtures()[familyFixture("qwen2_float32")];
    const auto dir = tarvel_test::freshDirectory("generation");
    tarvel_test::writeCheckpoint(dir, fixture);
    EXPECT_EQ(loadCheckpoint(dir).generation.eos_ids, (std::vector<std::uint32_t>{2}));
    tarvel_test::writeText(dir / "generation_config.json",
                           R"({"eos_token_id": [3, 39], "temperature": 0.7, "top_p": 0.8,
                               "top_k": 20, "do_sample": true})");
    const GenerationDefaults g = loadCheckpoint(dir).generation;
    EXPECT_EQ(g.eos_ids, (std::vector<std::uint32_t>{3, 39}));
    EXPECT_EQ(g.temperature, 0.7);
    EXPECT_EQ(g.top_p, 0.8);
    EXPECT_EQ(g.top_k, 20u);
    EXPECT_EQ(g.do_sample, true);
    tarvel_test::writeText(dir / "generation_config.json", R"({"eos_token_id": 40})");
    EXPECT_THROW_MSG(
        loadCheckpoint(dir), std::invalid_argument,
        (dir / "generation_config.json").string() + ": eos_token_id 40 is not below vocab_size 40");
    std::filesystem::remove_all(dir);
}

}  // namespace
