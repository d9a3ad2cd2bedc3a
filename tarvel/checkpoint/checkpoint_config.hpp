#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel {

// The fields of a Llama-family config.json that decide the computation, with their defaults
// applied.
struct CheckpointConfig {
    std::string architecture;  // "LlamaForCausalLM" or "MistralForCausalLM"
    std::uint32_t hidden_size = 0;
    std::uint32_t intermediate_size = 0;
    std::uint32_t num_hidden_layers = 0;
    std::uint32_t num_attention_heads = 0;
    std::uint32_t num_key_value_heads = 0;  // the head count when absent
    std::uint32_t vocab_size = 0;
    std::uint32_t max_position_embeddings = 0;
    double rms_norm_eps = 0.0;
    double rope_theta = 10000.0;
    bool tie_word_embeddings = false;
    std::uint32_t head_dim = 0;  // hidden_size / num_attention_heads
};

// Reads config.json. Everything the runtime would not compute exactly as the checkpoint means
// is refused, naming the field: rope_scaling other than null, attention_bias or mlp_bias
// true, an activation other than silu, another architecture, a Mistral sliding window below
// the context, a head_dim other than hidden_size / num_attention_heads. Throws
// std::invalid_argument "<file name>: <problem>".
CheckpointConfig parseCheckpointConfig(std::string_view text, std::string_view file_name);

// The spec of such a checkpoint: RoPE, RMSNorm, SwiGLU, one "token_ids" input and one
// "logits" output. weight_dtype declares the stored weight precision.
TransformerSpec checkpointSpec(const CheckpointConfig& config, DType weight_dtype);

}  // namespace Nuvexis::Core::Tarvel
