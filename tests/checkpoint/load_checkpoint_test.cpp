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

TEST(LoadCheckpoint, RefusesEachTensorFaultNamingFileAndTensor) {
    const std::string q = "model.layers.0.self_attn.q_proj.weight";
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
         "model.safetensors", "unexpected tensor lm_head.weight"},
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

}  // namespace
