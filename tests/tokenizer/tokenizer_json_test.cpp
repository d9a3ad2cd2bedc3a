// tokenizer.json of type BPE on small hand-made files (tests/tokenizer/fixtures, written by
// tools/write_tokenizer_fixtures.py): each normalizer, pre-tokenizer, model option, added-token
// option, post-processor and decoder, and the reader's refusals.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/expect_throw.hpp"
#include "tarvel/core/bytes.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

using namespace Nuvexis::Core::Tarvel;
using Json = nlohmann::json;

namespace {

Json fixture(const std::string& name) {
    std::ifstream in(std::string(TARVEL_TOKENIZER_FIXTURES) + "/" + name + ".json");
    if (!in) throw std::runtime_error("missing fixture " + name);
    return Json::parse(in);
}

Tokenizer load(const Json& file) {
    return Tokenizer::fromJson(file.dump(), "t.json");
}

// The token texts of ids, as the file spells them.
std::vector<std::string> texts(const Json& file, const std::vector<std::uint32_t>& ids) {
    std::map<std::uint32_t, std::string> by_id;
    for (const auto& [text, id] : file["model"]["vocab"].items()) by_id[id] = text;
    for (const auto& token : file["added_tokens"]) by_id[token["id"]] = token["content"];
    std::vector<std::string> out;
    for (const std::uint32_t id : ids) out.push_back(by_id.at(id));
    return out;
}

std::vector<std::uint32_t> idsOf(const Json& file, const std::vector<std::string>& tokens) {
    std::vector<std::uint32_t> ids;
    for (const std::string& token : tokens) {
        bool found = false;
        for (const auto& added : file["added_tokens"]) {
            if (added["content"] == token) {
                ids.push_back(added["id"]);
                found = true;
            }
        }
        if (!found) ids.push_back(file["model"]["vocab"].at(token));
    }
    return ids;
}

Json split(const Json& pattern, const char* behavior, bool invert = false) {
    return {{"type", "Split"}, {"pattern", pattern}, {"behavior", behavior}, {"invert", invert}};
}

Json metaspace(const char* scheme, bool split_pieces) {
    return {{"type", "Metaspace"},
            {"replacement", "\xE2\x96\x81"},
            {"prepend_scheme", scheme},
            {"split", split_pieces}};
}

Json token(std::uint32_t id, const std::string& content, bool lstrip = false, bool rstrip = false,
           bool single_word = false, bool normalized = false, bool special = true) {
    return {{"id", id},          {"content", content}, {"single_word", single_word},
            {"lstrip", lstrip},  {"rstrip", rstrip},   {"normalized", normalized},
            {"special", special}};
}

// The pieces fixture has no merges and a token for every piece these cases expect, so the tokens
// show exactly where the steps cut the text.
struct PieceCase {
    const char* name;
    std::function<void(Json&)> change;
    std::string text;
    std::vector<std::string> pieces;
};

TEST(TokenizerJson, EachStepCutsAndChangesTheTextAsDefined) {
    const Json dash = {{"String", "-"}};
    const auto pre = [](Json step) { return [step](Json& f) { f["pre_tokenizer"] = step; }; };
    const auto norm = [](Json step) { return [step](Json& f) { f["normalizer"] = step; }; };
    const std::vector<PieceCase> cases = {
        // Normalizers.
        {"nfc", norm({{"type", "NFC"}}), "he\xCC\x81llo", {"h\xC3\xA9llo"}},
        {"nfkc", norm({{"type", "NFKC"}}), "\xEF\xAC\x81", {"fi"}},
        {"without normalizer", [](Json&) {}, "e\xCC\x81", {"e", "\xCC\x81"}},
        {"lowercase", norm({{"type", "Lowercase"}}), "HeLLo", {"hello"}},
        {"lowercase of dotted capital I", norm({{"type", "Lowercase"}}), "\xC4\xB0", {"i\xCC\x87"}},
        {"replace regex",
         norm({{"type", "Replace"}, {"pattern", {{"Regex", "\\s+"}}}, {"content", "_"}}),
         "a \t b",
         {"a_b"}},
        {"prepend and replace",
         norm({{"type", "Sequence"},
               {"normalizers",
                {{{"type", "Prepend"}, {"prepend", "\xE2\x96\x81"}},
                 {{"type", "Replace"},
                  {"pattern", {{"String", " "}}},
                  {"content", "\xE2\x96\x81"}}}}}),
         "hi there",
         {"\xE2\x96\x81hi\xE2\x96\x81there"}},
        {"prepend on nothing", norm({{"type", "Prepend"}, {"prepend", "x"}}), "", {}},
        // Split, each behaviour, and inverted.
        {"removed", pre(split(dash, "Removed")), "a-b--c", {"a", "b", "c"}},
        {"isolated", pre(split(dash, "Isolated")), "a-b--c", {"a", "-", "b", "-", "-", "c"}},
        {"merged with previous",
         pre(split(dash, "MergedWithPrevious")),
         "a-b--c",
         {"a-", "b-", "-", "c"}},
        {"merged with next", pre(split(dash, "MergedWithNext")), "a-b--c", {"a", "-b", "-", "-c"}},
        {"contiguous", pre(split(dash, "Contiguous")), "a-b--c", {"a", "-", "b", "--", "c"}},
        {"inverted", pre(split(dash, "Removed", true)), "a-b--c", {"-", "-", "-"}},
        {"regex with case-blind group and lookahead",
         pre(split({{"Regex", "(?i:'s)|\\p{L}+|\\s+(?!\\S)|\\s+"}}, "Isolated")),
         "IT'S  ok",
         {"IT", "'S", " ", " ", "ok"}},
        // Digits.
        {"digits together",
         pre({{"type", "Digits"}, {"individual_digits", false}}),
         "ab123c4",
         {"ab", "123", "c", "4"}},
        {"digits one by one",
         pre({{"type", "Digits"}, {"individual_digits", true}}),
         "ab123c4",
         {"ab", "1", "2", "3", "c", "4"}},
        // Metaspace.
        {"metaspace always",
         pre(metaspace("always", true)),
         "hi there",
         {"\xE2\x96\x81hi", "\xE2\x96\x81there"}},
        {"metaspace never", pre(metaspace("never", true)), "hi there", {"hi", "\xE2\x96\x81there"}},
        {"metaspace unsplit",
         pre(metaspace("always", false)),
         "hi there",
         {"\xE2\x96\x81hi\xE2\x96\x81there"}},
        {"metaspace first at the start",
         pre(metaspace("first", true)),
         "hi there",
         {"\xE2\x96\x81hi", "\xE2\x96\x81there"}},
        {"metaspace first after an added token",
         [](Json& f) {
             f["pre_tokenizer"] = metaspace("first", true);
             f["added_tokens"] = Json::array({token(1000, "<sep>")});
         },
         "<sep>hi there",
         {"<sep>", "hi", "\xE2\x96\x81there"}},
        {"metaspace always after an added token",
         [](Json& f) {
             f["pre_tokenizer"] = metaspace("always", true);
             f["added_tokens"] = Json::array({token(1000, "<sep>")});
         },
         "<sep>hi there",
         {"<sep>", "\xE2\x96\x81hi", "\xE2\x96\x81there"}},
        // ByteLevel, with and without its own expression.
        {"byte level with its expression",
         pre({{"type", "ByteLevel"}, {"add_prefix_space", true}, {"use_regex", true}}),
         "hi there!",
         {"\xC4\xA0hi", "\xC4\xA0there", "!"}},
        {"byte level alone",
         pre({{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", false}}),
         "hi there",
         {"hi\xC4\xA0there"}},
        {"byte level keeps one leading space",
         pre({{"type", "ByteLevel"}, {"add_prefix_space", true}, {"use_regex", true}}),
         " hi",
         {"\xC4\xA0hi"}},
        // Added tokens and their options.
        {"added token",
         [](Json& f) { f["added_tokens"] = Json::array({token(1000, "<m>")}); },
         "ab <m> ab",
         {"a", "b", " ", "<m>", " ", "a", "b"}},
        {"added token taking spaces",
         [](Json& f) { f["added_tokens"] = Json::array({token(1000, "<m>", true, true)}); },
         "ab <m> ab",
         {"ab", "<m>", "ab"}},
        {"single word inside a word",
         [](Json& f) { f["added_tokens"] = Json::array({token(1000, "<m>", false, false, true)}); },
         "ab<m>",
         {"ab<m>"}},
        {"single word alone",
         [](Json& f) { f["added_tokens"] = Json::array({token(1000, "<m>", false, false, true)}); },
         "ab <m>",
         {"a", "b", " ", "<m>"}},
        {"normalized added token",
         [](Json& f) {
             f["normalizer"] = {{"type", "Lowercase"}};
             f["added_tokens"] = Json::array({token(1000, "YES", false, false, false, true)});
         },
         "Yes",
         {"YES"}},
        {"added token matched before normalizing",
         [](Json& f) {
             f["normalizer"] = {{"type", "Lowercase"}};
             f["added_tokens"] = Json::array({token(1000, "YES")});
         },
         "Yes",
         {"yes"}},
        {"longest added token",
         [](Json& f) {
             f["added_tokens"] = Json::array({token(1000, "ay"), token(1001, "say")});
         },
         "xsay",
         {"x", "say"}},
        {"leftmost added token",
         [](Json& f) {
             f["added_tokens"] = Json::array({token(1000, "sa"), token(1001, "ay")});
         },
         "say",
         {"sa", "y"}},
    };
    for (const PieceCase& c : cases) {
        SCOPED_TRACE(c.name);
        Json file = fixture("pieces");
        c.change(file);
        // Added tokens take vocabulary ids where they are in the vocabulary.
        for (auto& added : file["added_tokens"]) {
            if (file["model"]["vocab"].contains(added["content"])) {
                added["id"] = file["model"]["vocab"][added["content"].get<std::string>()];
            }
        }
        const Tokenizer tokenizer = load(file);
        EXPECT_EQ(texts(file, tokenizer.encode(c.text)), c.pieces);
    }
}

TEST(TokenizerJson, MergesByRankLeftmostFirstWithByteFallbackAndUnknownTokens) {
    const Json base = fixture("sentencepiece_bpe");
    const Tokenizer tokenizer = load(base);
    EXPECT_EQ(texts(base, tokenizer.encode("hello world")),
              (std::vector<std::string>{"<s>", "\xE2\x96\x81hello", "\xE2\x96\x81world"}));
    // Equal ranks merge the leftmost pair first.
    EXPECT_EQ(texts(base, tokenizer.encode("aaa", false)),
              (std::vector<std::string>{"\xE2\x96\x81", "aa", "a"}));
    // A character the vocabulary lacks travels as its UTF-8 bytes.
    EXPECT_EQ(texts(base, tokenizer.encode("h\xC3\xA9", false)),
              (std::vector<std::string>{"\xE2\x96\x81", "h", "<0xC3>", "<0xA9>"}));

    struct UnknownCase {
        const char* name;
        bool fuse;
        bool has_unk;
        std::vector<std::string> tokens;
    };
    for (const UnknownCase& c :
         {UnknownCase{"fused", true, true, {"\xE2\x96\x81", "h", "<unk>"}},
          UnknownCase{"one each", false, true, {"\xE2\x96\x81", "h", "<unk>", "<unk>"}},
          UnknownCase{"dropped", false, false, {"\xE2\x96\x81", "h"}}}) {
        SCOPED_TRACE(c.name);
        Json file = base;
        file["model"]["byte_fallback"] = false;
        file["model"]["fuse_unk"] = c.fuse;
        if (!c.has_unk) file["model"]["unk_token"] = nullptr;
        EXPECT_EQ(texts(file, load(file).encode("h\xC3\xA9\xC3\xA9", false)), c.tokens);
    }

    // Merges as pairs mean the same as merges as "a b".
    Json pairs = base;
    Json merges = Json::array();
    for (const auto& m : base["model"]["merges"]) {
        const std::string s = m;
        merges.push_back({s.substr(0, s.find(' ')), s.substr(s.find(' ') + 1)});
    }
    pairs["model"]["merges"] = merges;
    EXPECT_EQ(load(pairs).encode("hello world aaa"), tokenizer.encode("hello world aaa"));
}

TEST(TokenizerJson, ByteLevelFilesSplitMapBytesAndMayTakeWholeWords) {
    Json file = fixture("byte_level_bpe");
    const Tokenizer tokenizer = load(file);
    EXPECT_EQ(texts(file, tokenizer.encode("hello world\n\n12345")),
              (std::vector<std::string>{"<|begin|>", "hello", "\xC4\xA0world", "\xC4\x8A\xC4\x8A",
                                        "123", "4", "5", "<|end|>"}));
    EXPECT_EQ(texts(file, tokenizer.encode("x hello", false)),
              (std::vector<std::string>{"x", "\xC4\xA0", "hello"}));
    file["model"]["ignore_merges"] = true;
    EXPECT_EQ(texts(file, load(file).encode("x hello", false)),
              (std::vector<std::string>{"x", "\xC4\xA0hello"}));
}

TEST(TokenizerJson, SpecialTokensAreAddedAsThePostProcessorSays) {
    Json file = fixture("sentencepiece_bpe");
    struct Case {
        const char* name;
        Json post_processor;
        std::vector<std::string> tokens;
        std::optional<std::uint32_t> bos, eos;
    };
    const Json specials = file["post_processor"]["special_tokens"];
    const auto single = [](std::vector<Json> items) { return Json(items); };
    const Json s = {{"SpecialToken", {{"id", "<s>"}, {"type_id", 0}}}};
    const Json e = {{"SpecialToken", {{"id", "</s>"}, {"type_id", 0}}}};
    const Json a = {{"Sequence", {{"id", "A"}, {"type_id", 0}}}};
    const auto templ = [&](Json items) {
        return Json{{"type", "TemplateProcessing"},
                    {"single", items},
                    {"pair", items},
                    {"special_tokens", specials}};
    };
    const Json byte_level = {{"type", "ByteLevel"},
                             {"add_prefix_space", false},
                             {"trim_offsets", false},
                             {"use_regex", false}};
    const std::vector<Case> cases = {
        {"bos", templ(single({s, a})), {"<s>", "\xE2\x96\x81hello"}, 1, std::nullopt},
        {"bos and eos", templ(single({s, a, e})), {"<s>", "\xE2\x96\x81hello", "</s>"}, 1, 2},
        {"eos only", templ(single({a, e})), {"\xE2\x96\x81hello", "</s>"}, std::nullopt, 2},
        {"byte level adds nothing", byte_level, {"\xE2\x96\x81hello"}, std::nullopt, std::nullopt},
        {"none", nullptr, {"\xE2\x96\x81hello"}, std::nullopt, std::nullopt},
        {"sequence",
         {{"type", "Sequence"}, {"processors", {byte_level, templ(single({s, a, e}))}}},
         {"<s>", "\xE2\x96\x81hello", "</s>"},
         1,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        file["post_processor"] = c.post_processor;
        const Tokenizer tokenizer = load(file);
        EXPECT_EQ(texts(file, tokenizer.encode("hello")), c.tokens);
        EXPECT_EQ(texts(file, tokenizer.encode("hello", false)),
                  (std::vector<std::string>{"\xE2\x96\x81hello"}));
        EXPECT_EQ(tokenizer.bos(), c.bos);
        EXPECT_EQ(tokenizer.eos(), c.eos);
        EXPECT_EQ(tokenizer.add_bos(), c.bos.has_value());
    }
}

TEST(TokenizerJson, DecodersTurnTokensBackIntoText) {
    struct Case {
        const char* name;
        const char* fixture_name;
        Json decoder;
        std::vector<std::string> tokens;
        std::string text;
    };
    const Json replace = {
        {"type", "Replace"}, {"pattern", {{"String", "\xE2\x96\x81"}}}, {"content", " "}};
    const Json strip = {{"type", "Strip"}, {"content", " "}, {"start", 1}, {"stop", 1}};
    const Json chain = {
        {"type", "Sequence"},
        {"decoders", {replace, {{"type", "ByteFallback"}}, {{"type", "Fuse"}}, strip}}};
    const Json byte_level = {{"type", "ByteLevel"},
                             {"add_prefix_space", true},
                             {"trim_offsets", true},
                             {"use_regex", true}};
    const std::string wave = "\xE2\x96\x81";
    const std::vector<Case> cases = {
        {"none: joined with spaces", "pieces", nullptr, {"hi", "there"}, "hi there"},
        {"byte level", "pieces", byte_level, {"\xC4\xA0hi", "\xC4\xA0there"}, " hi there"},
        {"byte level, a cut character",
         "byte_level_bpe",
         byte_level,
         {"\xC3\xA2", "\xC4\xA4"},
         "\xEF\xBF\xBD"},
        {"byte level, whole again",
         "byte_level_bpe",
         byte_level,
         {"\xC3\xA2", "\xC4\xA4", "\xC2\xAC"},
         "\xE2\x82\xAC"},
        {"byte level, added tokens as written",
         "byte_level_bpe",
         byte_level,
         {"hello", "<tool>", "\xC4\xA0world"},
         "hello<tool> world"},
        {"replace", "pieces", replace, {wave + "hi", wave + "there"}, " hi there"},
        {"metaspace",
         "pieces",
         metaspace("always", true),
         {wave + "hi", wave + "there"},
         "hi there"},
        {"metaspace never",
         "pieces",
         metaspace("never", true),
         {wave + "hi", wave + "there"},
         " hi there"},
        {"chain with strip", "sentencepiece_bpe", chain, {wave + "hello", wave}, "hello"},
        {"byte fallback", "sentencepiece_bpe", chain, {"h", "<0xC3>", "<0xA9>"}, "h\xC3\xA9"},
        {"byte fallback, a cut character",
         "sentencepiece_bpe",
         chain,
         {"<0xE2>", "<0x82>"},
         "\xEF\xBF\xBD"},
        {"byte fallback, a stray byte",
         "sentencepiece_bpe",
         chain,
         {"<0xFF>", "h"},
         "\xEF\xBF\xBDh"},
        {"byte fallback, cut after a whole one",
         "sentencepiece_bpe",
         chain,
         {"<0xC3>", "<0xA9>", "<0xC3>"},
         "\xC3\xA9\xEF\xBF\xBD"},
        {"special tokens give nothing",
         "sentencepiece_bpe",
         chain,
         {"<s>", wave + "hello", "</s>"},
         "hello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Json file = fixture(c.fixture_name);
        file["decoder"] = c.decoder;
        EXPECT_EQ(load(file).decode(idsOf(file, c.tokens)), c.text);
    }
}

TEST(TokenizerJson, TextThatIsNotUtf8ReadsAsReplacementCharacters) {
    const Tokenizer tokenizer = load(fixture("byte_level_bpe"));
    EXPECT_EQ(tokenizer.encode("a\xFF"
                               "b"),
              tokenizer.encode("a\xEF\xBF\xBD"
                               "b"));
    // One U+FFFD for each maximal ill-formed part: a cut three-byte character is one.
    EXPECT_EQ(tokenizer.encode("\xE2\x82"
                               "a"),
              tokenizer.encode("\xEF\xBF\xBD"
                               "a"));
    EXPECT_EQ(tokenizer.decode(tokenizer.encode("\xC0\xAF", false)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TokenizerJson, StreamingHoldsBackACutCharacterOfByteTokens) {
    const Tokenizer tokenizer = load(fixture("byte_level_bpe"));
    const std::vector<std::uint32_t> prompt = tokenizer.encode("hello", false);
    const std::vector<std::uint32_t> all =
        tokenizer.encode("hello w\xC3\xB6rld \xF0\x9F\x98\x80!", false);
    TextStream stream(tokenizer, prompt);
    std::string shown;
    for (std::size_t i = prompt.size(); i < all.size(); ++i) {
        const std::string piece = stream.push(all[i]);
        EXPECT_EQ(piece.find("\xEF\xBF\xBD"), std::string::npos);
        shown += piece;
    }
    shown += stream.finish();
    EXPECT_EQ(shown, " w\xC3\xB6rld \xF0\x9F\x98\x80!");
}

TEST(TokenizerJson, IdentityKindCountsAndLookups) {
    const Json file = fixture("byte_level_bpe");
    const std::string bytes = file.dump();
    const Tokenizer tokenizer = Tokenizer::fromJson(bytes, "t.json");
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(checksum64(
                      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
    EXPECT_EQ(tokenizer.identity(), std::string("tokenizer.json:") + hex);
    EXPECT_EQ(tokenizer.kind(), "tokenizer.json");
    EXPECT_EQ(tokenizer.pieceCount(), 303u);
    EXPECT_EQ(tokenizer.tokenId("<|end|>"), std::optional<std::uint32_t>(301));
    EXPECT_EQ(tokenizer.tokenId("he"), file["model"]["vocab"]["he"].get<std::uint32_t>());
    EXPECT_EQ(tokenizer.tokenId("zzz"), std::nullopt);
    // Ids between the vocabulary and the added tokens have no text; past them there are none.
    EXPECT_EQ(tokenizer.decode(std::vector<std::uint32_t>{299}), "");
    EXPECT_THROW_MSG(tokenizer.decode(std::vector<std::uint32_t>{303}), std::out_of_range,
                     "token id exceeds tokenizer vocabulary");
}

// Each change to a good file, and the one-line message naming what is refused.
struct Refusal {
    const char* name;
    std::function<void(Json&)> change;
    std::string message;
};

TEST(TokenizerJson, RefusesWhatItWouldNotRunAsTheFileMeans) {
    const auto nest = [](int depth) {
        Json step = {{"type", "NFC"}};
        for (int i = 0; i < depth; ++i) step = {{"type", "Sequence"}, {"normalizers", {step}}};
        return step;
    };
    const std::vector<Refusal> cases = {
        {"unknown key", [](Json& f) { f["extra"] = 1; }, "extra is not supported"},
        {"truncation",
         [](Json& f) {
             f["truncation"] = {{"max_length", 5}};
         },
         "truncation is not supported; it must be null"},
        {"no model", [](Json& f) { f.erase("model"); }, "model is missing"},
        {"model type", [](Json& f) { f["model"]["type"] = "Unigram"; },
         "model type Unigram is not supported"},
        {"model dropout", [](Json& f) { f["model"]["dropout"] = 0.1; },
         "model.dropout is not supported; it must be null"},
        {"model prefix", [](Json& f) { f["model"]["continuing_subword_prefix"] = "##"; },
         "model.continuing_subword_prefix is not supported; it must be null or empty"},
        {"model option", [](Json& f) { f["model"]["cache"] = 1; },
         "model option cache is not supported"},
        {"flag type", [](Json& f) { f["model"]["byte_fallback"] = "yes"; },
         "model.byte_fallback must be true or false"},
        {"duplicate id", [](Json& f) { f["model"]["vocab"]["zz"] = 5; },
         "model.vocab gives id 5 to two tokens"},
        {"id too large", [](Json& f) { f["model"]["vocab"]["zz"] = 4194304; },
         "model.vocab[zz] is larger than 4194303"},
        {"negative id", [](Json& f) { f["model"]["vocab"]["zz"] = -1; },
         "model.vocab[zz] must be a non-negative integer"},
        {"unknown unk", [](Json& f) { f["model"]["unk_token"] = "<nothing>"; },
         "model.unk_token is not in the vocabulary"},
        {"merge form", [](Json& f) { f["model"]["merges"][0] = "h e l"; },
         "model.merges[0] must be two tokens separated by one space"},
        {"merge token", [](Json& f) { f["model"]["merges"][0] = "h Q"; },
         "model.merges[0] names a token that is not in the vocabulary"},
        {"merge result", [](Json& f) { f["model"]["merges"][0] = "b c"; },
         "model.merges[0] makes a token that is not in the vocabulary"},
        {"added token id", [](Json& f) { f["added_tokens"][2]["id"] = 1; },
         "added_tokens[2] has id 1, which another added token has"},
        {"added token content", [](Json& f) { f["added_tokens"][1]["content"] = "<unk>"; },
         "added_tokens[1] has the content of another added token"},
        {"added token against vocabulary", [](Json& f) { f["added_tokens"][1]["id"] = 7; },
         "added_tokens[1] has id 7 but the vocabulary gives it 1"},
        {"added token flag", [](Json& f) { f["added_tokens"][0].erase("lstrip"); },
         "added_tokens[0].lstrip is missing"},
        {"normalizer type",
         [](Json& f) {
             f["normalizer"]["normalizers"][0] = {{"type", "NFD"}};
         },
         "normalizer.normalizers[0] type NFD is not supported"},
        {"type not a string",
         [](Json& f) {
             f["normalizer"] = {{"type", 5}};
         },
         "normalizer.type must be a string"},
        {"strange type",
         [](Json& f) {
             f["normalizer"] = {{"type", "A\nB"}};
         },
         "normalizer type \"A\\nB\" is not supported"},
        {"nested too deep", [&](Json& f) { f["normalizer"] = nest(9); },
         "normalizer.normalizers[0].normalizers[0].normalizers[0].normalizers[0].normalizers[0]."
         "normalizers[0].normalizers[0].normalizers[0] nests Sequences deeper than 8"},
        {"pre-tokenizer type",
         [](Json& f) {
             f["pre_tokenizer"] = {{"type", "Whitespace"}};
         },
         "pre_tokenizer type Whitespace is not supported"},
        {"pre-tokenizer option",
         [](Json& f) {
             f["pre_tokenizer"] = {{"type", "Digits"}, {"individual_digits", true}, {"x", 1}};
         },
         "pre_tokenizer option x is not supported"},
        {"split behaviour",
         [](Json& f) {
             f["pre_tokenizer"] = split({{"String", "-"}}, "Sideways");
         },
         "pre_tokenizer.behavior Sideways is not supported"},
        {"split pattern",
         [](Json& f) {
             f["pre_tokenizer"] = split({{"Glob", "*"}}, "Isolated");
         },
         "pre_tokenizer.pattern must hold one String or Regex"},
        {"regular expression",
         [](Json& f) {
             f["pre_tokenizer"] = split({{"Regex", "(a"}}, "Isolated");
         },
         "pre_tokenizer.pattern.Regex does not compile (missing closing parenthesis at offset 2)"},
        {"metaspace character",
         [](Json& f) {
             f["pre_tokenizer"] = {{"type", "Metaspace"}, {"replacement", "ab"}};
         },
         "pre_tokenizer.replacement must be one character"},
        {"metaspace scheme",
         [](Json& f) {
             f["pre_tokenizer"] = {
                 {"type", "Metaspace"}, {"replacement", "_"}, {"add_prefix_space", false}};
         },
         "pre_tokenizer.add_prefix_space false needs prepend_scheme never"},
        {"post-processor type",
         [](Json& f) {
             f["post_processor"] = {{"type", "BertProcessing"}};
         },
         "post_processor type BertProcessing is not supported"},
        {"template name",
         [](Json& f) { f["post_processor"]["single"][0]["SpecialToken"]["id"] = "<cls>"; },
         "post_processor.single[0].SpecialToken.id \"<cls>\" is not among the special tokens"},
        {"template id",
         [](Json& f) { f["post_processor"]["special_tokens"]["<s>"]["ids"][0] = 9999; },
         "post_processor.special_tokens[\"<s>\"].ids[0] is not a token of this tokenizer"},
        {"template without text", [](Json& f) { f["post_processor"]["single"].erase(1); },
         "post_processor.single does not hold the text"},
        {"decoder type",
         [](Json& f) {
             f["decoder"]["decoders"][3] = {{"type", "CTC"}};
         },
         "decoder.decoders[3] type CTC is not supported"},
        {"strip count", [](Json& f) { f["decoder"]["decoders"][3]["start"] = -1; },
         "decoder.decoders[3].start must be a non-negative integer"},
        // With two faults the model, read first, is named.
        {"two faults",
         [](Json& f) {
             f["normalizer"] = {{"type", "NFD"}};
             f["model"]["type"] = "WordPiece";
         },
         "model type WordPiece is not supported"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        Json file = fixture("sentencepiece_bpe");
        c.change(file);
        EXPECT_THROW_MSG(load(file), std::invalid_argument, "t.json: " + c.message);
    }
    EXPECT_THROW_MSG(Tokenizer::fromJson("{\"model\": ", "t.json"), std::invalid_argument,
                     "t.json: tokenizer file is not well-formed JSON");
    EXPECT_THROW_MSG(Tokenizer::fromJson("[1]", "t.json"), std::invalid_argument,
                     "t.json: tokenizer file is not a JSON object");
}

TEST(TokenizerJson, ReadsFilesAndRefusesWhatIsNotOne) {
    const auto dir = std::filesystem::temp_directory_path() / "tarvel-tokenizer-json-test";
    std::filesystem::create_directories(dir);
    const auto path = dir / "tokenizer.json";
    {
        std::ofstream out(path, std::ios::binary);
        out << fixture("byte_level_bpe").dump();
    }
    EXPECT_EQ(Tokenizer::fromJsonFile(path).decode(Tokenizer::fromJsonFile(path).encode("hello")),
              "hello");
    EXPECT_THROW_MSG(Tokenizer::fromJsonFile(dir / "missing.json"), std::invalid_argument,
                     (dir / "missing.json").string() +
                         ": cannot open the tokenizer file (No such file or directory)");
    EXPECT_THROW_MSG(Tokenizer::fromJsonFile(dir), std::invalid_argument,
                     dir.string() + ": tokenizer file is not a regular file");
    std::filesystem::remove_all(dir);
}

}  // namespace
