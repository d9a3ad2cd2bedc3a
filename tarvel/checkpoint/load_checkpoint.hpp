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
    // From generation_config.json when present; eos_ids falls back to config.json's
    // eos_token_id, and is empty when neither gives one.
    GenerationDefaults generation;
};

// Loads a checkpoint folder in the Hugging Face layout of one of the families config.json may
// name (see parseCheckpointConfig): config.json with either model.safetensors or
// model.safetensors.index.json and its shards, and optionally tokenizer.model with
// tokenizer_config.json and generation_config.json. Files are memory-mapped and every byte is
// checked before use. The rows of the query and key projections (and their biases and head
// norms) are brought from the stored half-split rotary order back to adjacent pairs; fused
// qkv_proj and gate_up_proj are split; a stored lm_head.weight of a tied model must hold the
// embedding's bytes. The model is bound to the tokenizer's identity when there is one. Throws
// std::invalid_argument "<file>: <problem>" naming the file and, where one is at fault, the
// tensor or field; exceptions of model construction propagate unchanged.
LoadedCheckpoint loadCheckpoint(const std::filesystem::path& folder,
                                const CheckpointOptions& options = {});

// Row r of a projection stored in half-split order, per head of width head_dim: the row that
// holds adjacent-pair row r. Head h's pair k component j (row h*hd + 2k + j) is stored at
// h*hd + j*hd/2 + k.
std::uint64_t halfSplitRow(std::uint64_t row, std::uint64_t head_dim);

}  // namespace Nuvexis::Core::Tarvel
