#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel {

// The architectures a checkpoint folder may name, each a set of features of the one block.
enum class CheckpointFamily : std::uint8_t { llama, mistral, qwen2, qwen3, gemma, gemma2, phi3 };

// The fields of a config.json that decide the computation, with each family's defaults
// applied.
struct CheckpointConfig {
    std::string architecture;  // as config.json names it, e.g. "Qwen2ForCausalLM"
    CheckpointFamily family = CheckpointFamily::llama;
    std::uint32_t hidden_size = 0;
    std::uint32_t intermediate_size = 0;
    std::uint32_t num_hidden_layers = 0;
    std::uint32_t num_attention_heads = 0;
    std::uint32_t num_key_value_heads = 0;
    std::uint32_t vocab_size = 0;
    std::uint32_t max_position_embeddings = 0;
    double rms_norm_eps = 0.0;
    double rope_theta = 10000.0;
    bool tie_word_embeddings = false;
    std::uint32_t head_dim = 0;  // given, or the family's default
    RopeScalingSpec rope_scaling;
    bool qkv_bias = false;     // biases on q_proj, k_proj and v_proj
    bool output_bias = false;  // a bias on o_proj
    // A window below the context: every layer, or Gemma 2's even ones. 0: none that matters.
    std::uint32_t sliding_window = 0;
    WindowLayers window_layers = WindowLayers::all;
    double embedding_scale = 1.0;        // Gemma: sqrt(hidden_size) rounded to torch_dtype
    double query_pre_attn_scalar = 0.0;  // Gemma 2; 0: head_dim
    double attn_logit_softcapping = 0.0;
    double final_logit_softcapping = 0.0;
    std::vector<std::uint32_t> eos_token_ids;  // config.json's eos_token_id, if any
};

// Reads config.json. Everything the runtime would not compute exactly as the checkpoint means
// is refused, naming the key: another architecture, a rope_scaling type other than linear and
// llama3, partial rotation, mixture-of-experts keys, biases or windows the architecture does
// not have, another activation. Throws std::invalid_argument "<file name>: <problem>".
CheckpointConfig parseCheckpointConfig(std::string_view text, std::string_view file_name);

// The spec of such a checkpoint: the family's features as data of the one block, one
// "token_ids" input and one "logits" output. weight_dtype declares the stored weight precision.
TransformerSpec checkpointSpec(const CheckpointConfig& config, DType weight_dtype);

// What generation_config.json asks of generation. Absent fields stay empty.
struct GenerationDefaults {
    std::vector<std::uint32_t> eos_ids;  // generation ends at any of them
    std::optional<bool> do_sample;
    std::optional<double> temperature;
    std::optional<double> top_p;
    std::optional<std::uint32_t> top_k;
};

// Reads generation_config.json: eos_token_id (a number or a list), do_sample, temperature,
// top_p and top_k; other fields are not read. Throws std::invalid_argument
// "<file name>: <problem>".
GenerationDefaults parseGenerationConfig(std::string_view text, std::string_view file_name);

// sqrt(hidden_size) rounded to a torch dtype ("bfloat16", "float16" or "float32") as torch
// rounds a double: to float32 first, then to the narrower type, each to nearest, ties to even.
// Empty when the rounding is not finite.
std::optional<double> roundedEmbeddingScale(std::uint32_t hidden_size, std::string_view dtype);

}  // namespace Nuvexis::Core::Tarvel
