#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tarvel/checkpoint/checkpoint_config.hpp"
#include "tarvel/model/transformer_model.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

namespace Nuvexis::Core::Tarvel {

struct CheckpointOptions {
    // Called after each tensor is read with the bytes read so far and the total; empty means
    // no progress reports. The library itself never writes to a stream.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct LoadedCheckpoint {
    std::shared_ptr<const TransformerModel> model;
    std::optional<Tokenizer> tokenizer;  // absent when the folder has no tokenizer.model
    CheckpointConfig config;
};

// Loads a Llama-family checkpoint folder in the Hugging Face layout: config.json with either
// model.safetensors or model.safetensors.index.json and its shards, and optionally
// tokenizer.model with tokenizer_config.json. Files are memory-mapped and every byte is checked
// before use; q_proj and k_proj rows are brought from the stored half-split rotary order back
// to adjacent pairs. Each file is opened without blocking and refused unless it is a regular
// file ("<file>: not a regular file"; "tokenizer file is not a regular file" for
// tokenizer.model), so a FIFO or device in the folder is never waited on. The JSON files are
// read whole, at most 64 MiB each, and refused before they are built when they nest deeper
// than 64 levels or hold more than a million values. The model is bound to the tokenizer's identity
// when there is one. Throws std::invalid_argument "<file>: <problem>" naming the file and, where
// one is at fault, the tensor or field; exceptions of model construction propagate unchanged.
LoadedCheckpoint loadCheckpoint(const std::filesystem::path& folder,
                                const CheckpointOptions& options = {});

// Row r of a projection stored in half-split order, per head of width head_dim: the row that
// holds adjacent-pair row r. Head h's pair k component j (row h*hd + 2k + j) is stored at
// h*hd + j*hd/2 + k.
std::uint64_t halfSplitRow(std::uint64_t row, std::uint64_t head_dim);

}  // namespace Nuvexis::Core::Tarvel
