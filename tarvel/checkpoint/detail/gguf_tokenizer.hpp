#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail {

// The tokenizer a GGUF file describes in its metadata, as plain data: what the file stores
// under tokenizer.ggml.*.
struct GgufVocabulary {
    std::string model;  // tokenizer.ggml.model: "llama" or "gpt2"
    std::string pre;    // tokenizer.ggml.pre, for "gpt2"; empty when absent
    std::vector<std::string> tokens;
    std::vector<double> scores;       // empty when absent
    std::vector<std::int64_t> types;  // empty when absent: every token normal
    std::vector<std::string> merges;  // "gpt2": "left right" pairs
    std::optional<std::uint32_t> bos_id;
    std::optional<std::uint32_t> eos_id;
    std::optional<std::uint32_t> unk_id;
    std::optional<std::uint32_t> pad_id;
    bool add_bos = true;
    bool add_eos = false;
    bool add_space_prefix = true;  // "llama": the dummy prefix SentencePiece puts before a text
};

// The serialized SentencePiece model of a "llama" vocabulary: pieces, scores and types as
// stored, BPE with byte fallback when the vocabulary has byte pieces, the text normalised as
// Llama's own tokenizer.model does (spaces escaped, a dummy prefix unless the file says
// otherwise, nothing else). SentencePiece itself then encodes and decodes with it. Throws
// std::invalid_argument naming the key at fault.
std::string sentencePieceModelOf(const GgufVocabulary& vocabulary);

// The tokenizer.json of a "gpt2" vocabulary: a byte-level BPE over the tokens and merges with
// the pre-tokenizer its tokenizer.ggml.pre names ("gpt2"/"default", "llama-bpe", "qwen2"),
// control and user-defined tokens as added tokens, BOS (and EOS) added as the file says. Throws
// std::invalid_argument naming the key at fault, e.g. for an unknown pre-tokenizer.
std::string tokenizerJsonOf(const GgufVocabulary& vocabulary);

}  // namespace Nuvexis::Core::Tarvel::detail
