// The SentencePiece wrapper: identity from the file's bytes, BOS as configured, byte fallback
// both ways, streaming that holds back incomplete characters, and binding through import.
#include <gtest/gtest.h>

#include "fixture_checkpoints.hpp"
#include "support/expect_throw.hpp"
#include "support/trained_tokenizer.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/tarvel.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

class TokenizerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new std::filesystem::path(tarvel_test::freshDirectory("tokenizer"));
        model_ = new std::string(tarvel_test::trainedTokenizerModel(*dir_));
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir_);
        delete dir_;
        delete model_;
    }
    static std::filesystem::path* dir_;
    static std::string* model_;
};
std::filesystem::path* TokenizerTest::dir_ = nullptr;
std::string* TokenizerTest::model_ = nullptr;

TEST_F(TokenizerTest, IdentityIsTheChecksumOfTheFileBytes) {
    const Tokenizer tokenizer = Tokenizer::fromBytes(*model_, "t", true);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(checksum64(
                      reinterpret_cast<const std::uint8_t*>(model_->data()), model_->size())));
    EXPECT_EQ(tokenizer.identity(), std::string("sentencepiece:") + hex);
    std::string changed = *model_;
    changed.back() = static_cast<char>(changed.back() ^ 1);
    EXPECT_NE(tokenizerIdentity(std::span<const std::uint8_t>(
                  reinterpret_cast<const std::uint8_t*>(changed.data()), changed.size())),
              tokenizer.identity());
}

TEST_F(TokenizerTest, EncodesWithBosAsConfiguredAndRoundTripsThroughByteFallback) {
    const Tokenizer with_bos = Tokenizer::fromBytes(*model_, "t", true);
    const Tokenizer without_bos = Tokenizer::fromBytes(*model_, "t", false);
    ASSERT_EQ(with_bos.bos(), std::optional<std::uint32_t>(1));
    ASSERT_EQ(with_bos.eos(), std::optional<std::uint32_t>(2));
    const std::string text = "The cat found a ball, 100 € and 🐈!";
    const std::vector<std::uint32_t> ids = with_bos.encode(text);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(without_bos.encode(text), std::vector<std::uint32_t>(ids.begin() + 1, ids.end()));
    EXPECT_EQ(with_bos.encode(text, false), without_bos.encode(text));
    // BOS gives no text; the euro sign and the cat are not pieces, so they travel as bytes.
    EXPECT_EQ(with_bos.decode(ids), text);
    EXPECT_GT(ids.size(), 4u + 7u);
    EXPECT_THROW_MSG(with_bos.decode(std::vector<std::uint32_t>{with_bos.pieceCount()}),
                     std::out_of_range, "token id exceeds tokenizer vocabulary");
}

TEST_F(TokenizerTest, StreamingHoldsBackACharacterUntilItsLastByte) {
    const Tokenizer tokenizer = Tokenizer::fromBytes(*model_, "t", true);
    const std::vector<std::uint32_t> prompt = tokenizer.encode("The cat");
    const std::vector<std::uint32_t> all = tokenizer.encode("The cat 🐈 sat");
    TextStream stream(tokenizer, prompt);
    std::string shown;
    std::vector<std::string> pieces;
    for (std::size_t i = prompt.size(); i < all.size(); ++i) {
        pieces.push_back(stream.push(all[i]));
        shown += pieces.back();
    }
    shown += stream.finish();
    EXPECT_EQ(shown, " 🐈 sat");
    // The cat is four bytes: the first three pushes of it give nothing.
    EXPECT_NE(std::count(pieces.begin(), pieces.end(), std::string()), 0);
    for (const std::string& piece : pieces)
        EXPECT_EQ(piece.find("\xEF\xBF\xBD"), std::string::npos);
}

TEST_F(TokenizerTest, StreamingGivesExactlyTheTextOfTheWholeDecode) {
    // Random ids, byte pieces and control ids among them, stream to what decoding everything at
    // once gives past the prompt, whatever the windows the stream decodes in between.
    const Tokenizer tokenizer = Tokenizer::fromBytes(*model_, "t", true);
    const std::vector<std::uint32_t> prompt = tokenizer.encode("Once upon a time the cat");
    std::uint64_t state = 12345;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        std::vector<std::uint32_t> all = prompt;
        TextStream stream(tokenizer, prompt);
        std::string shown;
        for (int i = 0; i < 200; ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            // Half of the ids are byte pieces (3 to 258), where characters split.
            const std::uint32_t id = static_cast<std::uint32_t>(
                (state >> 33) % 2 == 0 ? 3 + (state >> 40) % 256
                                       : (state >> 40) % tokenizer.pieceCount());
            all.push_back(id);
            shown += stream.push(id);
        }
        shown += stream.finish();
        EXPECT_EQ(shown, tokenizer.decode(all).substr(tokenizer.decode(prompt).size()));
    }
}

TEST_F(TokenizerTest, RefusesBytesThatAreNotAModel) {
    try {
        (void)Tokenizer::fromBytes("not a model", "x/tokenizer.model", true);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("x/tokenizer.model: not a SentencePiece model (", 0),
                  0u)
            << e.what();
    }
}

TEST_F(TokenizerTest, AFolderPrefersTokenizerJsonAndReadsItsChatFiles) {
    const auto folder = *dir_ / "chat-model";
    tarvel_test::writeCheckpoint(folder, tarvel_test::textFixture(320));
    tarvel_test::writeText(folder / "tokenizer.model", *model_);
    std::filesystem::copy_file(
        std::filesystem::path(TARVEL_TOKENIZER_FIXTURES) / "byte_level_bpe.json",
        folder / "tokenizer.json");
    tarvel_test::writeText(folder / "tokenizer_config.json",
                           R"({"bos_token": {"content": "<|begin|>"}, "eos_token": "<|end|>",
                               "chat_template": [{"name": "tool_use", "template": "T"},
                                                 {"name": "default", "template": "D"}]})");
    tarvel_test::writeText(folder / "generation_config.json", R"({"eos_token_id": [7, 9]})");
    const LoadedCheckpoint both = loadCheckpoint(folder);
    ASSERT_TRUE(both.tokenizer.has_value());
    EXPECT_EQ(both.tokenizer->kind(), "tokenizer.json");
    EXPECT_EQ(both.model->tokenizer_identity(),
              std::optional<std::string>(both.tokenizer->identity()));
    EXPECT_EQ(both.chat_template, std::optional<std::string>("D"));
    EXPECT_EQ(both.chat_template_file, (folder / "tokenizer_config.json").string());
    EXPECT_EQ(both.bos_token, "<|begin|>");
    EXPECT_EQ(both.eos_token, "<|end|>");
    EXPECT_EQ(both.generation.eos_ids, (std::vector<std::uint32_t>{7, 9}));

    CheckpointOptions sentencepiece;
    sentencepiece.tokenizer = TokenizerFile::sentencepiece;
    EXPECT_EQ(loadCheckpoint(folder, sentencepiece).tokenizer->kind(), "sentencepiece");
    // chat_template.jinja is the template where a folder has one.
    tarvel_test::writeText(folder / "chat_template.jinja", "J");
    EXPECT_EQ(loadCheckpoint(folder).chat_template, std::optional<std::string>("J"));

    std::filesystem::remove(folder / "tokenizer.json");
    EXPECT_EQ(loadCheckpoint(folder).tokenizer->kind(), "sentencepiece");
    CheckpointOptions json;
    json.tokenizer = TokenizerFile::tokenizer_json;
    EXPECT_THROW_MSG(loadCheckpoint(folder, json), std::invalid_argument,
                     (folder / "tokenizer.json").string() + ": file is missing");
    tarvel_test::writeText(folder / "generation_config.json", R"({"eos_token_id": 320})");
    EXPECT_THROW_MSG(loadCheckpoint(folder), std::invalid_argument,
                     (folder / "generation_config.json").string() +
                         ": eos_token_id 320 is not below vocab_size 320");
}

TEST_F(TokenizerTest, ImportBindsTheModelToTheTokenizerAndReadsAddBos) {
    tarvel_test::FixtureCheckpoint fixture = tarvel_test::textFixture(320);
    const auto folder = *dir_ / "model";
    tarvel_test::writeCheckpoint(folder, fixture);
    tarvel_test::writeText(folder / "tokenizer.model", *model_);
    tarvel_test::writeText(folder / "tokenizer_config.json", R"({"add_bos_token": false})");
    const LoadedCheckpoint bound = loadCheckpoint(folder);
    ASSERT_TRUE(bound.tokenizer.has_value());
    EXPECT_FALSE(bound.tokenizer->add_bos());
    EXPECT_EQ(bound.model->tokenizer_identity(),
              std::optional<std::string>(bound.tokenizer->identity()));

    // A snapshot binds to the tokenizer too: the same weights without it refuse the restore.
    TransformerKvSession session(bound.model, 1);
    (void)forwardCached(TokenBatch{1, 2, {5, 6}, {}}, session, TransformerKvOptions{});
    const auto snapshot = saveSnapshot(session);
    std::filesystem::remove(folder / "tokenizer.model");
    const LoadedCheckpoint unbound = loadCheckpoint(folder);
    TransformerKvSession other(unbound.model, 1);
    EXPECT_THROW_MSG(restoreSnapshot(other, snapshot, ArtifactLimits{}), ArtifactError,
                     "session model mismatch");

    tarvel_test::writeText(folder / "tokenizer.model", *model_);
    tarvel_test::writeText(folder / "tokenizer_config.json", R"({"add_bos_token": "yes"})");
    EXPECT_THROW_MSG(
        loadCheckpoint(folder), std::invalid_argument,
        (folder / "tokenizer_config.json").string() + ": add_bos_token must be true or false");
    tarvel_test::writeText(folder / "tokenizer_config.json", "{");
    EXPECT_THROW_MSG(loadCheckpoint(folder), std::invalid_argument,
                     (folder / "tokenizer_config.json").string() +
                         ": tokenizer config is not a well-formed JSON object");
    std::filesystem::remove(folder / "tokenizer_config.json");
    EXPECT_TRUE(loadCheckpoint(folder).tokenizer->add_bos());  // the default

    tarvel_test::writeCheckpoint(folder, tarvel_test::textFixture(299));
    EXPECT_THROW_MSG(loadCheckpoint(folder), std::invalid_argument,
                     (folder / "tokenizer.model").string() +
                         ": tokenizer has 300 pieces, more than vocab_size 299");
}

}  // namespace
