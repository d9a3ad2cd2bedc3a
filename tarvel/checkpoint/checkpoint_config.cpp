#include "tarvel/checkpoint/checkpoint_config.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tarvel/checkpoint/detail/bounded_json.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

using Json = nlohmann::json;

struct ConfigReader {
    const Json& config;
    std::string_view file_name;

    [[noreturn]] void fail(const std::string& problem) const {
        throw std::invalid_argument(std::string(file_name) + ": " + problem);
    }

    // Absent and null both count as not given.
    const Json* find(const char* field) const {
        const auto it = config.find(field);
        if (it == config.end() || it->is_null()) return nullptr;
        return &*it;
    }

    std::uint32_t positive(const char* field, const std::uint32_t* fallback = nullptr) const {
        const Json* value = find(field);
        if (value == nullptr) {
            if (fallback != nullptr) return *fallback;
            fail(std::string(field) + " is missing");
        }
        if (!value->is_number_unsigned() || value->get<std::uint64_t>() == 0 ||
            value->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
            fail(std::string(field) + " must be a positive integer below 2^32");
        }
        return static_cast<std::uint32_t>(value->get<std::uint64_t>());
    }

    double positiveReal(const char* field, const double* fallback) const {
        const Json* value = find(field);
        if (value == nullptr) {
            if (fallback != nullptr) return *fallback;
            fail(std::string(field) + " is missing");
        }
        if (!value->is_number() || !std::isfinite(value->get<double>()) ||
            !(value->get<double>() > 0.0)) {
            fail(std::string(field) + " must be a finite number greater than zero");
        }
        return value->get<double>();
    }

    bool flag(const char* field) const {
        const Json* value = find(field);
        if (value == nullptr) return false;
        if (!value->is_boolean()) fail(std::string(field) + " must be true or false");
        return value->get<bool>();
    }
};

}  // namespace

CheckpointConfig parseCheckpointConfig(std::string_view text, std::string_view file_name) {
    const Json config = detail::parseBoundedJson(text, file_name, "config");
    if (config.is_discarded()) {
        throw std::invalid_argument(std::string(file_name) + ": config is not well-formed JSON");
    }
    if (!config.is_object()) {
        throw std::invalid_argument(std::string(file_name) + ": config is not a JSON object");
    }
    const ConfigReader read{config, file_name};
    CheckpointConfig result;

    const Json* architectures = read.find("architectures");
    if (architectures == nullptr) read.fail("architectures is missing");
    if (!architectures->is_array() || architectures->size() != 1 ||
        !(*architectures)[0].is_string()) {
        read.fail("architectures must list exactly one architecture");
    }
    result.architecture = (*architectures)[0].get<std::string>();
    if (result.architecture != "LlamaForCausalLM" && result.architecture != "MistralForCausalLM") {
        read.fail("architectures names " + result.architecture +
                  "; only LlamaForCausalLM and MistralForCausalLM are supported");
    }

    result.hidden_size = read.positive("hidden_size");
    result.intermediate_size = read.positive("intermediate_size");
    result.num_hidden_layers = read.positive("num_hidden_layers");
    result.num_attention_heads = read.positive("num_attention_heads");
    result.num_key_value_heads = read.positive("num_key_value_heads", &result.num_attention_heads);
    result.vocab_size = read.positive("vocab_size");
    result.max_position_embeddings = read.positive("max_position_embeddings");
    result.rms_norm_eps = read.positiveReal("rms_norm_eps", nullptr);
    const double default_theta = 10000.0;
    result.rope_theta = read.positiveReal("rope_theta", &default_theta);

    if (const Json* act = read.find("hidden_act");
        act != nullptr && !(act->is_string() && act->get<std::string>() == "silu")) {
        if (!act->is_string()) read.fail("hidden_act must be a string");
        read.fail("hidden_act " + act->get<std::string>() + " is not supported; only silu is");
    }
    result.tie_word_embeddings = read.flag("tie_word_embeddings");
    if (read.find("rope_scaling") != nullptr) {
        read.fail("rope_scaling is not supported; it must be null or absent");
    }
    if (read.flag("attention_bias")) read.fail("attention_bias true is not supported");
    if (read.flag("mlp_bias")) read.fail("mlp_bias true is not supported");
    if (result.architecture == "MistralForCausalLM") {
        // Mistral's own default window is 4096 when the field is absent; only null turns it off.
        const auto it = config.find("sliding_window");
        if (it == config.end() || !it->is_null()) {
            const std::uint64_t window =
                it == config.end() ? 4096
                : it->is_number_unsigned()
                    ? it->get<std::uint64_t>()
                    : (read.fail("sliding_window must be null or a non-negative integer"), 0);
            if (window < result.max_position_embeddings) {
                read.fail("sliding_window " + std::to_string(window) +
                          " is below max_position_embeddings " +
                          std::to_string(result.max_position_embeddings) +
                          "; windowed attention is not supported");
            }
        }
    }

    if (result.hidden_size % result.num_attention_heads != 0) {
        read.fail("hidden_size must be a multiple of num_attention_heads");
    }
    result.head_dim = result.hidden_size / result.num_attention_heads;
    if (read.find("head_dim") != nullptr && read.positive("head_dim") != result.head_dim) {
        read.fail("head_dim must equal hidden_size / num_attention_heads (" +
                  std::to_string(result.head_dim) + ")");
    }
    if (result.head_dim % 2 != 0) read.fail("hidden_size / num_attention_heads must be even");
    if (result.num_key_value_heads > result.num_attention_heads ||
        result.num_attention_heads % result.num_key_value_heads != 0) {
        read.fail("num_key_value_heads must divide num_attention_heads");
    }
    return result;
}

TransformerSpec checkpointSpec(const CheckpointConfig& config, DType weight_dtype) {
    TransformerSpec spec;
    spec.vocabulary = config.vocab_size;
    spec.context = config.max_position_embeddings;
    spec.layers = config.num_hidden_layers;
    spec.model_dim = config.hidden_size;
    spec.ffn_dim = config.intermediate_size;
    spec.query_heads = config.num_attention_heads;
    spec.kv_heads = config.num_key_value_heads;
    spec.head_dim = config.head_dim;
    spec.position.kind = PositionKind::rope;
    spec.position.rope_base = config.rope_theta;
    spec.normalization.kind = NormalizationKind::rms_norm;
    spec.normalization.epsilon = config.rms_norm_eps;
    spec.feed_forward = FeedForwardKind::swiglu;
    spec.precision.weights = weight_dtype;
    spec.tied_embeddings = config.tie_word_embeddings;
    spec.ports = {
        PortSpec{"token_ids", PortDirection::input, PortKind::token_ids, 1, ""},
        PortSpec{"logits", PortDirection::output, PortKind::logits, config.vocab_size, ""}};
    return spec;
}

}  // namespace Nuvexis::Core::Tarvel
