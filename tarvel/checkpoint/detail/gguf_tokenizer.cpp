#include "tarvel/checkpoint/detail/gguf_tokenizer.hpp"

#include <bit>
#include <set>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Nuvexis::Core::Tarvel::detail {
namespace {

[[noreturn]] void fail(const std::string& problem) {
    throw std::invalid_argument(problem);
}

// The few pieces of the protocol-buffer wire format a SentencePiece model needs: varints,
// 32-bit floats and length-delimited fields, written in field order.
class ProtoWriter {
  public:
    void varint(std::uint32_t field, std::uint64_t value) {
        tag(field, 0);
        raw(value);
    }
    // A negative int32 is sent as its 64-bit two's complement, as the format requires.
    void int32(std::uint32_t field, std::int32_t value) {
        varint(field, static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
    }
    void float32(std::uint32_t field, float value) {
        tag(field, 5);
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes_.push_back(static_cast<char>((bits >> shift) & 0xffu));
        }
    }
    void bytes(std::uint32_t field, std::string_view value) {
        tag(field, 2);
        raw(value.size());
        bytes_.append(value);
    }
    const std::string& data() const noexcept { return bytes_; }

  private:
    void tag(std::uint32_t field, std::uint32_t wire) { raw(std::uint64_t{field} << 3 | wire); }
    void raw(std::uint64_t value) {
        while (value >= 0x80u) {
            bytes_.push_back(static_cast<char>((value & 0x7fu) | 0x80u));
            value >>= 7;
        }
        bytes_.push_back(static_cast<char>(value));
    }
    std::string bytes_;
};

// GGUF's token types are SentencePiece's: 1 normal, 2 unknown, 3 control, 4 user-defined,
// 5 unused, 6 byte; 0 (undefined) is read as normal.
std::int64_t tokenType(const GgufVocabulary& v, std::size_t id) {
    if (v.types.empty()) return 1;
    const std::int64_t type = v.types[id];
    if (type == 0) return 1;
    if (type < 1 || type > 6) {
        fail("tokenizer.ggml.token_type of token " + std::to_string(id) + " is " +
             std::to_string(type) + ", not a token type");
    }
    return type;
}

void checkLengths(const GgufVocabulary& v) {
    if (v.tokens.empty()) fail("tokenizer.ggml.tokens is empty");
    if (!v.scores.empty() && v.scores.size() != v.tokens.size()) {
        fail("tokenizer.ggml.scores has " + std::to_string(v.scores.size()) + " entries for " +
             std::to_string(v.tokens.size()) + " tokens");
    }
    if (!v.types.empty() && v.types.size() != v.tokens.size()) {
        fail("tokenizer.ggml.token_type has " + std::to_string(v.types.size()) + " entries for " +
             std::to_string(v.tokens.size()) + " tokens");
    }
    const auto check = [&](const std::optional<std::uint32_t>& id, const char* key) {
        if (id && *id >= v.tokens.size()) {
            fail(std::string(key) + " " + std::to_string(*id) + " is not a token id (" +
                 std::to_string(v.tokens.size()) + " tokens)");
        }
    };
    check(v.bos_id, "tokenizer.ggml.bos_token_id");
    check(v.eos_id, "tokenizer.ggml.eos_token_id");
    check(v.unk_id, "tokenizer.ggml.unknown_token_id");
    check(v.pad_id, "tokenizer.ggml.padding_token_id");
}

std::int32_t idOr(const std::optional<std::uint32_t>& id) {
    return id ? static_cast<std::int32_t>(*id) : -1;
}

// The split each pre-tokenizer name stands for, as the tokenizers of those models write it.
const char* splitPattern(const std::string& pre) {
    if (pre == "llama-bpe" || pre == "llama3") {
        return "(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}{1,3}| "
               "?[^\\s\\p{L}\\p{N}]+[\\r\\n]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+";
    }
    if (pre == "qwen2") {
        return "(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}| "
               "?[^\\s\\p{L}\\p{N}]+[\\r\\n]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+";
    }
    return nullptr;
}

}  // namespace

std::string sentencePieceModelOf(const GgufVocabulary& v) {
    checkLengths(v);
    if (v.tokens.size() > static_cast<std::size_t>(INT32_MAX)) fail("too many tokens");
    ProtoWriter model;
    bool bytes = false;
    for (std::size_t id = 0; id < v.tokens.size(); ++id) {
        ProtoWriter piece;
        piece.bytes(1, v.tokens[id]);
        piece.float32(2, v.scores.empty() ? 0.0f : static_cast<float>(v.scores[id]));
        const std::int64_t type = tokenType(v, id);
        piece.varint(3, static_cast<std::uint64_t>(type));
        bytes = bytes || type == 6;
        model.bytes(1, piece.data());
    }
    ProtoWriter trainer;
    trainer.varint(3, 2);  // BPE, as Llama's tokenizer
    trainer.int32(4, static_cast<std::int32_t>(v.tokens.size()));
    trainer.varint(35, bytes ? 1 : 0);  // byte_fallback
    trainer.int32(40, idOr(v.unk_id));
    trainer.int32(41, idOr(v.bos_id));
    trainer.int32(42, idOr(v.eos_id));
    trainer.int32(43, idOr(v.pad_id));
    model.bytes(2, trainer.data());
    ProtoWriter normalizer;
    normalizer.bytes(1, "identity");
    normalizer.varint(3, v.add_space_prefix ? 1 : 0);  // add_dummy_prefix
    normalizer.varint(4, 0);                           // remove_extra_whitespaces
    normalizer.varint(5, 1);                           // escape_whitespaces
    model.bytes(3, normalizer.data());
    return model.data();
}

std::string tokenizerJsonOf(const GgufVocabulary& v) {
    using Json = nlohmann::json;
    checkLengths(v);
    const std::string pre = v.pre.empty() ? "default" : v.pre;
    Json pre_tokenizer;
    if (pre == "default" || pre == "gpt2") {
        pre_tokenizer = {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", true}};
    } else if (const char* pattern = splitPattern(pre)) {
        pre_tokenizer = {
            {"type", "Sequence"},
            {"pretokenizers",
             Json::array(
                 {{{"type", "Split"},
                   {"pattern", {{"Regex", pattern}}},
                   {"behavior", "Isolated"},
                   {"invert", false}},
                  {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", false}}})}};
    } else {
        fail("tokenizer.ggml.pre '" + v.pre + "' is not supported");
    }
    Json vocab = Json::object();
    Json added = Json::array();
    for (std::size_t id = 0; id < v.tokens.size(); ++id) {
        if (vocab.contains(v.tokens[id])) {
            fail("tokenizer.ggml.tokens holds '" + v.tokens[id] + "' twice");
        }
        vocab[v.tokens[id]] = id;
        const std::int64_t type = tokenType(v, id);
        if (type == 3 || type == 4) {
            added.push_back({{"id", id},
                             {"content", v.tokens[id]},
                             {"single_word", false},
                             {"lstrip", false},
                             {"rstrip", false},
                             {"normalized", type == 4},
                             {"special", type == 3}});
        }
    }
    Json processors = Json::array();
    Json single = Json::array();
    Json special = Json::object();
    const auto wrap = [&](const std::optional<std::uint32_t>& id) {
        const std::string& token = v.tokens[*id];
        special[token] = {{"id", token}, {"ids", {*id}}, {"tokens", {token}}};
        return Json{{"SpecialToken", {{"id", token}, {"type_id", 0}}}};
    };
    if (v.add_bos && v.bos_id) single.push_back(wrap(v.bos_id));
    single.push_back({{"Sequence", {{"id", "A"}, {"type_id", 0}}}});
    if (v.add_eos && v.eos_id) single.push_back(wrap(v.eos_id));
    Json json = {
        {"version", "1.0"},
        {"added_tokens", added},
        {"normalizer", pre == "qwen2" ? Json{{"type", "NFC"}} : Json(nullptr)},
        {"pre_tokenizer", pre_tokenizer},
        {"post_processor",
         {{"type", "TemplateProcessing"},
          {"single", single},
          {"pair", Json::array()},
          {"special_tokens", special}}},
        {"decoder", {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", true}}},
        {"model",
         {{"type", "BPE"},
          {"byte_fallback", false},
          {"ignore_merges", pre == "llama-bpe" || pre == "llama3"},
          {"vocab", vocab},
          {"merges", v.merges}}}};
    try {
        return json.dump();
    } catch (const nlohmann::json::type_error&) {
        fail("tokenizer.ggml.tokens holds a token that is not UTF-8");
    }
}

}  // namespace Nuvexis::Core::Tarvel::detail
