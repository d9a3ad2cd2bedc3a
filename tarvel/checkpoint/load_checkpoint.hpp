#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/checkpoint/checkpoint_config.hpp"
#include "tarvel/model/transformer_model.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

namespace Nuvexis::Core::Tarvel {

// Which tokenizer file of a folder is used.
enum class TokenizerFile : std::uint8_t {
    automatic = 0,       // tokenizer.json when the folder has one, else tokenizer.model
    tokenizer_json = 1,  // tokenizer.json, which must be there
    sentencepiece = 2,   // tokenizer.model, which must be there
};

struct CheckpointOptions {
    // Called after each tensor is read with the bytes read so far and the total; empty means
    // no progress reports. The library itself never writes to a stream.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    TokenizerFile tokenizer = TokenizerFile::automatic;
};

struct LoadedCheckpoint {
    std::shared_ptr<const TransformerModel> model;
    std::optional<Tokenizer> tokenizer;  // absent when the folder has no tokenizer file
    CheckpointConfig config;
    // The chat template: chat_template.jinja, else tokenizer_config.json's "chat_template" (its
    // "default" entry when it lists several); absent when neither has one.
    std::optional<std::string> chat_template;
    std::string chat_template_file;  // the file it came from, for messages
    std::string bos_token;           // tokenizer_config.json's texts of BOS and EOS, if given
    std::string eos_token;
    // From generation_config.json when present; eos_ids falls back to config.json's
    // eos_token_id, and is empty when neither gives one.
    GenerationDefaults generation;
};

// Loads a checkpoint folder in the Hugging Face layout of one of the families config.json may
// name (see parseCheckpointConfig): config.json with either model.safetensors or
// model.safetensors.index.json and its shards, and optionally tokenizer.json or tokenizer.model,
// tokenizer_config.json, chat_template.jinja and generation_config.json. Files are
// memory-mapped and every byte is checked before use. The rows of the query and key projections
// (and their biases and head norms) are brought from the stored half-split rotary order back to
// adjacent pairs; fused qkv_proj and gate_up_proj are split; a stored lm_head.weight of a tied
// model must hold the embedding's bytes. Each file is opened without blocking and refused unless
// it is a regular file ("<file>: not a regular file"; "tokenizer file is not a regular file" for
// a tokenizer), so a FIFO or device in the folder is never waited on. The JSON files are read
// whole, at most 64 MiB each, and refused before they are built when they nest deeper than 64
// levels or hold more than a million values. The model is bound to the tokenizer's identity
// when there is one. Throws std::invalid_argument "<file>: <problem>" naming the file and, where
// one is at fault, the tensor or field; exceptions of model construction propagate unchanged.
// A path that is not a folder is read as a GGUF file (loadGguf).
LoadedCheckpoint loadCheckpoint(const std::filesystem::path& folder,
                                const CheckpointOptions& options = {});

// Loads a GGUF file (versions 2 and 3) of one of the architectures llama, qwen2, qwen3, gemma,
// gemma2 and phi3: the hyperparameters from its metadata (a float32 value at its exact value),
// its tensors as the block's weights (F32, F16, BF16 and F64 packed in the narrowest exact type;
// projections and embeddings quantized in blocks kept in their blocks, every other quantized
// tensor widened to its exact values), the q and k rows of every architecture but llama brought
// from half-split rotary order to adjacent pairs, a stored output.weight with the embedding's
// bytes read as a tied classifier. The tokenizer comes from tokenizer.ggml.*: a "llama"
// vocabulary becomes a SentencePiece model, a "gpt2" one a byte-level BPE with the
// pre-tokenizer tokenizer.ggml.pre names; tokenizer.chat_template is the chat template, and
// the EOS, end-of-turn and end-of-message ids end generation. Throws std::invalid_argument
// "<file>: <problem>" naming the key or tensor at fault (the reader's own messages for a
// malformed file); options.tokenizer is not read.
LoadedCheckpoint loadGguf(const std::filesystem::path& file, const CheckpointOptions& options = {});

// The model a bundled model folder holds, as loadCheckpoint takes it: the folder itself when it
// is in the Hugging Face layout (it has config.json), else <folder>/<folder name>.gguf; empty
// when it holds neither.
std::optional<std::filesystem::path> bundledModelPath(const std::filesystem::path& folder);

// Row r of a projection stored in half-split order, per head of width head_dim: the row that
// holds adjacent-pair row r. Head h's pair k component j (row h*hd + 2k + j) is stored at
// h*hd + j*hd/2 + k.
std::uint64_t halfSplitRow(std::uint64_t row, std::uint64_t head_dim);

}  // namespace Nuvexis::Core::Tarvel
