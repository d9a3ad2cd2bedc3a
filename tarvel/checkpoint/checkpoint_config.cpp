#include "tarvel/checkpoint/checkpoint_config.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tarvel/checkpoint/detail/bounded_json.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

using Json = nlohmann::json;

// What each architecture computes, and its configuration class's defaults for absent keys.
struct Family {
    const char* architecture;
    CheckpointFamily family;
    std::uint32_t kv_heads;  // 0: num_attention_heads
    std::uint32_t head_dim;  // 0: hidden_size / num_attention_heads
    double rms_norm_eps;
    bool tied;
    enum class Bias { attention_bias, qkv, none } bias;
    // none: a window below the context is refused; every, even: the layers it slides on;
    // qwen: use_sliding_window true is refused and sliding_window is not read.
    enum class Window { none, every, even, qwen } window;
    std::uint32_t window_default;  // 0: no window when sliding_window is absent
    bool gemma;                    // 1 + w norms, GeGLU with the tanh GELU, scaled embedding
};

using Bias = Family::Bias;
using Window = Family::Window;

constexpr Family families[] = {
    {"LlamaForCausalLM", CheckpointFamily::llama, 0, 0, 1e-6, false, Bias::attention_bias,
     Window::none, 0, false},
    {"MistralForCausalLM", CheckpointFamily::mistral, 8, 0, 1e-6, false, Bias::none, Window::every,
     4096, false},
    {"Qwen2ForCausalLM", CheckpointFamily::qwen2, 32, 0, 1e-6, false, Bias::qkv, Window::qwen, 0,
     false},
    {"Qwen3ForCausalLM", CheckpointFamily::qwen3, 32, 128, 1e-6, false, Bias::attention_bias,
     Window::qwen, 0, false},
    {"GemmaForCausalLM", CheckpointFamily::gemma, 16, 256, 1e-6, true, Bias::attention_bias,
     Window::none, 0, true},
    {"Gemma2ForCausalLM", CheckpointFamily::gemma2, 4, 256, 1e-6, true, Bias::attention_bias,
     Window::even, 4096, true},
    {"Phi3ForCausalLM", CheckpointFamily::phi3, 0, 0, 1e-5, false, Bias::none, Window::every, 0,
     false},
};

// Keys of mixture-of-experts configurations: the block has no experts.
constexpr const char* expert_keys[] = {"num_experts",
                                       "num_local_experts",
                                       "num_experts_per_tok",
                                       "moe_intermediate_size",
                                       "n_routed_experts",
                                       "n_shared_experts",
                                       "shared_expert_intermediate_size"};

struct ConfigReader {
    const Json& config;
    std::string_view file_name;
    std::string prefix;  // "rope_scaling " for the keys of that object

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
            fail(prefix + field + " is missing");
        }
        if (!value->is_number_unsigned() || value->get<std::uint64_t>() == 0 ||
            value->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
            fail(prefix + field + " must be a positive integer below 2^32");
        }
        return static_cast<std::uint32_t>(value->get<std::uint64_t>());
    }

    double positiveReal(const char* field, const double* fallback) const {
        const Json* value = find(field);
        if (value == nullptr) {
            if (fallback != nullptr) return *fallback;
            fail(prefix + field + " is missing");
        }
        if (!value->is_number() || !std::isfinite(value->get<double>()) ||
            !(value->get<double>() > 0.0)) {
            fail(prefix + field + " must be a finite number greater than zero");
        }
        return value->get<double>();
    }

    bool flag(const char* field) const {
        const Json* value = find(field);
        if (value == nullptr) return false;
        if (!value->is_boolean()) fail(prefix + field + " must be true or false");
        return value->get<bool>();
    }

    std::string text(const char* field, const char* fallback) const {
        const Json* value = find(field);
        if (value == nullptr) return fallback;
        if (!value->is_string()) fail(prefix + field + " must be a string");
        return value->get<std::string>();
    }
};

const Family& familyOf(const ConfigReader& read) {
    const Json* architectures = read.find("architectures");
    if (architectures == nullptr) read.fail("architectures is missing");
    if (!architectures->is_array() || architectures->size() != 1 ||
        !(*architectures)[0].is_string()) {
        read.fail("architectures must list exactly one architecture");
    }
    const std::string name = (*architectures)[0].get<std::string>();
    for (const Family& family : families) {
        if (name == family.architecture) return family;
    }
    read.fail("architectures names " + name +
              "; only LlamaForCausalLM, MistralForCausalLM, Qwen2ForCausalLM, Qwen3ForCausalLM, "
              "GemmaForCausalLM, Gemma2ForCausalLM and Phi3ForCausalLM are supported");
}

RopeScalingSpec ropeScaling(const ConfigReader& read) {
    const Json* scaling = read.find("rope_scaling");
    if (scaling == nullptr) return {};
    if (!scaling->is_object()) read.fail("rope_scaling must be an object or null");
    const ConfigReader keys{*scaling, read.file_name, "rope_scaling "};
    const Json* type = keys.find("rope_type");
    const Json* older = keys.find("type");
    if (type == nullptr) type = older;
    if (type == nullptr) read.fail("rope_scaling has no rope_type");
    if (!type->is_string()) read.fail("rope_scaling rope_type must be a string");
    if (older != nullptr && *older != *type) {
        read.fail("rope_scaling gives rope_type and type that differ");
    }
    const std::string kind = type->get<std::string>();
    std::vector<const char*> needed;
    RopeScalingSpec result;
    if (kind == "linear") {
        needed = {"factor"};
        result.kind = RopeScalingKind::linear;
    } else if (kind == "llama3") {
        needed = {"factor", "low_freq_factor", "high_freq_factor",
                  "original_max_position_embeddings"};
        result.kind = RopeScalingKind::llama3;
    } else if (kind != "default") {
        read.fail("rope_scaling type " + kind + " is not supported; only linear and llama3 are");
    }
    for (const auto& [key, value] : scaling->items()) {
        bool known = key == "rope_type" || key == "type";
        for (const char* name : needed) known = known || key == name;
        if (!known) read.fail("rope_scaling key " + key + " is not supported");
    }
    for (const char* name : needed) {
        if (keys.find(name) == nullptr)
            read.fail("rope_scaling of type " + kind + " lacks " + name);
    }
    if (result.kind == RopeScalingKind::none) return result;
    result.factor = keys.positiveReal("factor", nullptr);
    if (result.kind == RopeScalingKind::llama3) {
        result.low_freq_factor = keys.positiveReal("low_freq_factor", nullptr);
        result.high_freq_factor = keys.positiveReal("high_freq_factor", nullptr);
        if (!(result.high_freq_factor > result.low_freq_factor)) {
            read.fail("rope_scaling high_freq_factor must be greater than low_freq_factor");
        }
        result.original_context = keys.positive("original_max_position_embeddings");
    }
    return result;
}

// The window of each layer as layer_types lists them, when given: true where it slides.
std::optional<std::vector<bool>> layerTypes(const ConfigReader& read, std::uint32_t layers) {
    const Json* types = read.find("layer_types");
    if (types == nullptr) return std::nullopt;
    const char* problem =
        "layer_types must list full_attention or sliding_attention for every layer";
    if (!types->is_array() || types->size() != layers) read.fail(problem);
    std::vector<bool> sliding;
    for (const Json& type : *types) {
        if (type == "sliding_attention") {
            sliding.push_back(true);
        } else if (type == "full_attention") {
            sliding.push_back(false);
        } else {
            read.fail(problem);
        }
    }
    return sliding;
}

// Sets the window of the config from sliding_window, use_sliding_window and layer_types as the
// family reads them. Without layer_types nothing here costs time in the number of layers: a
// config may claim billions, and is refused later by its tensors.
void readWindow(const ConfigReader& read, const Family& family, CheckpointConfig& result) {
    const std::uint32_t layers = result.num_hidden_layers;
    const std::uint32_t context = result.max_position_embeddings;
    const std::optional<std::vector<bool>> listed = layerTypes(read, layers);
    std::uint32_t window = 0;  // as given, even when not below the context
    WindowLayers pattern = WindowLayers::all;
    if (family.window == Window::qwen) {
        if (read.flag("use_sliding_window")) read.fail("use_sliding_window true is not supported");
    } else if (family.window == Window::none) {
        if (read.find("sliding_window") != nullptr) {
            const std::uint32_t given = read.positive("sliding_window");
            if (given < context) {
                read.fail("sliding_window " + std::to_string(given) +
                          " is below max_position_embeddings " + std::to_string(context) +
                          ", but " + family.architecture + " has no sliding window");
            }
        }
    } else {
        // Absent takes the family's default; null turns the window off.
        if (read.config.find("sliding_window") == read.config.end()) {
            window = family.window_default;
        } else if (const Json* value = read.find("sliding_window")) {
            if (!value->is_number_unsigned() || value->get<std::uint64_t>() == 0 ||
                value->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
                read.fail("sliding_window must be null or a positive integer below 2^32");
            }
            window = static_cast<std::uint32_t>(value->get<std::uint64_t>());
        }
        if (family.window == Window::even) pattern = WindowLayers::even;
    }
    const auto slides = [&](std::uint32_t l) {
        return window != 0 && (pattern == WindowLayers::all || l % 2 == 0);
    };
    if (listed) {
        // Gemma 2's layer_types says which layers slide; the others' must agree with theirs.
        bool all = true, even = true, any = false;
        for (std::uint32_t l = 0; l < layers; ++l) {
            all = all && (*listed)[l];
            even = even && (*listed)[l] == (l % 2 == 0);
            any = any || (*listed)[l];
        }
        if (family.window == Window::even && window != 0) {
            if (!any) window = 0;
            if (any && !all && !even) {
                read.fail("layer_types slides on layers other than every one or the even ones");
            }
            pattern = all ? WindowLayers::all : WindowLayers::even;
        }
        for (std::uint32_t l = 0; l < layers; ++l) {
            if ((*listed)[l] != slides(l)) {
                read.fail(std::string("layer_types disagrees with the sliding window of ") +
                          family.architecture);
            }
        }
    }
    // A window as wide as the context leaves every position visible: no window at all.
    if (window == 0 || window >= context) return;
    result.sliding_window = window;
    result.window_layers = pattern;
}

void refuseUncomputed(const ConfigReader& read) {
    if (read.find("rope_parameters") != nullptr) {
        read.fail("rope_parameters is not supported; give rope_theta and rope_scaling");
    }
    if (const Json* partial = read.find("partial_rotary_factor")) {
        if (!partial->is_number() || partial->get<double>() != 1.0) {
            read.fail("partial_rotary_factor " + partial->dump() + " is not supported; only 1 is");
        }
    }
    for (const char* key : expert_keys) {
        const Json* value = read.find(key);
        const bool off = value == nullptr || *value == false || (value->is_number() && *value == 0);
        if (!off) read.fail(std::string(key) + " is not supported; mixture-of-experts is not");
    }
    if (read.flag("use_bidirectional_attention")) {
        read.fail("use_bidirectional_attention true is not supported");
    }
    if (read.find("quantization_config") != nullptr) {
        read.fail("quantization_config is not supported; weights must be F64, F32, F16 or BF16");
    }
    if (read.flag("mlp_bias")) read.fail("mlp_bias true is not supported");
}

std::vector<std::uint32_t> tokenIds(const ConfigReader& read, const char* field) {
    const Json* value = read.find(field);
    if (value == nullptr) return {};
    const auto id = [](const Json& j) {
        return j.is_number_unsigned() &&
               j.get<std::uint64_t>() <= std::numeric_limits<std::uint32_t>::max();
    };
    std::vector<std::uint32_t> ids;
    if (id(*value)) {
        ids.push_back(value->get<std::uint32_t>());
    } else if (value->is_array()) {
        for (const Json& j : *value) {
            if (!id(j)) read.fail(std::string(field) + " must be a token id or a list of them");
            ids.push_back(j.get<std::uint32_t>());
        }
    } else {
        read.fail(std::string(field) + " must be a token id or a list of them");
    }
    return ids;
}

// Bounded in depth and size before anything is built (a config of a million empty objects is
// refused, not built).
Json parseObject(std::string_view text, std::string_view file_name, const char* what) {
    Json json = detail::parseBoundedJson(text, file_name, what);
    if (json.is_discarded()) {
        throw std::invalid_argument(std::string(file_name) + ": " + what +
                                    " is not well-formed JSON");
    }
    if (!json.is_object()) {
        throw std::invalid_argument(std::string(file_name) + ": " + what + " is not a JSON object");
    }
    return json;
}

// x rounded to `bits` significant bits, to nearest, ties to even: exact, since the scalings by
// powers of two are exact and rint rounds to even.
double roundSignificand(double x, int bits) {
    int exponent = 0;
    (void)std::frexp(x, &exponent);
    return std::ldexp(std::rint(std::ldexp(x, bits - exponent)), exponent - bits);
}

}  // namespace

std::optional<double> roundedEmbeddingScale(std::uint32_t hidden_size, std::string_view dtype) {
    const float single = static_cast<float>(std::sqrt(static_cast<double>(hidden_size)));
    double scale = static_cast<double>(single);
    if (dtype == "bfloat16") {
        scale = roundSignificand(scale, 8);
    } else if (dtype == "float16") {
        scale = roundSignificand(scale, 11);
        if (scale > 65504.0) return std::nullopt;  // beyond float16: infinite
    } else if (dtype != "float32") {
        return std::nullopt;
    }
    return scale;
}

CheckpointConfig parseCheckpointConfig(std::string_view text, std::string_view file_name) {
    const Json config = parseObject(text, file_name, "config");
    const ConfigReader read{config, file_name, ""};
    const Family& family = familyOf(read);
    CheckpointConfig result;
    result.architecture = family.architecture;
    result.family = family.family;

    result.hidden_size = read.positive("hidden_size");
    result.intermediate_size = read.positive("intermediate_size");
    result.num_hidden_layers = read.positive("num_hidden_layers");
    result.num_attention_heads = read.positive("num_attention_heads");
    const std::uint32_t kv_default =
        family.kv_heads != 0 ? family.kv_heads : result.num_attention_heads;
    result.num_key_value_heads = read.positive("num_key_value_heads", &kv_default);
    result.vocab_size = read.positive("vocab_size");
    result.max_position_embeddings = read.positive("max_position_embeddings");
    result.rms_norm_eps = read.positiveReal("rms_norm_eps", &family.rms_norm_eps);
    const double default_theta = 10000.0;
    result.rope_theta = read.positiveReal("rope_theta", &default_theta);

    if (family.gemma) {
        // hidden_act is not read: the activation is hidden_activation's.
        const std::string activation = read.text("hidden_activation", "gelu_pytorch_tanh");
        if (activation != "gelu_pytorch_tanh") {
            read.fail("hidden_activation " + activation +
                      " is not supported; only gelu_pytorch_tanh is");
        }
    } else if (const std::string act = read.text("hidden_act", "silu"); act != "silu") {
        read.fail("hidden_act " + act + " is not supported; only silu is");
    }
    const auto tied = read.find("tie_word_embeddings");
    result.tie_word_embeddings = tied == nullptr ? family.tied : read.flag("tie_word_embeddings");
    result.rope_scaling = ropeScaling(read);
    refuseUncomputed(read);
    switch (family.bias) {
        case Bias::attention_bias:
            result.qkv_bias = result.output_bias = read.flag("attention_bias");
            break;
        case Bias::qkv:
            result.qkv_bias = true;  // the family's q, k and v projections always have them
            break;
        case Bias::none:
            if (read.flag("attention_bias")) read.fail("attention_bias true is not supported");
            break;
    }

    if (read.find("head_dim") != nullptr) {
        result.head_dim = read.positive("head_dim");
        if (result.head_dim % 2 != 0) read.fail("head_dim must be even");
    } else if (family.head_dim != 0) {
        result.head_dim = family.head_dim;
    } else {
        if (result.hidden_size % result.num_attention_heads != 0) {
            read.fail("hidden_size must be a multiple of num_attention_heads");
        }
        result.head_dim = result.hidden_size / result.num_attention_heads;
        if (result.head_dim % 2 != 0) read.fail("hidden_size / num_attention_heads must be even");
    }
    if (result.num_key_value_heads > result.num_attention_heads ||
        result.num_attention_heads % result.num_key_value_heads != 0) {
        read.fail("num_key_value_heads must divide num_attention_heads");
    }
    readWindow(read, family, result);

    if (family.gemma) {
        // The family multiplies by sqrt(hidden_size) held in the model's dtype.
        if (read.find("torch_dtype") == nullptr && read.find("dtype") != nullptr) {
            read.fail(
                "dtype is given without torch_dtype; the embedding scale is rounded to "
                "torch_dtype");
        }
        const std::string dtype = read.text("torch_dtype", "float32");
        if (dtype != "bfloat16" && dtype != "float16" && dtype != "float32") {
            read.fail("torch_dtype " + dtype +
                      " is not supported; only bfloat16, float16 and float32 are");
        }
        const std::optional<double> scale = roundedEmbeddingScale(result.hidden_size, dtype);
        if (!scale) read.fail("sqrt(hidden_size) is beyond the range of " + dtype);
        result.embedding_scale = *scale;
    }
    if (family.family == CheckpointFamily::gemma2) {
        const double scalar = 256.0;
        result.query_pre_attn_scalar = read.positiveReal("query_pre_attn_scalar", &scalar);
        // Absent takes the default; null turns the capping off.
        const auto cap = [&](const char* key, double fallback) {
            return config.find(key) == config.end() ? fallback
                   : read.find(key) == nullptr      ? 0.0
                                                    : read.positiveReal(key, nullptr);
        };
        result.attn_logit_softcapping = cap("attn_logit_softcapping", 50.0);
        result.final_logit_softcapping = cap("final_logit_softcapping", 30.0);
    }
    result.eos_token_ids = tokenIds(read, "eos_token_id");
    for (const std::uint32_t id : result.eos_token_ids) {
        if (id >= result.vocab_size) {
            read.fail("eos_token_id " + std::to_string(id) + " is not below vocab_size " +
                      std::to_string(result.vocab_size));
        }
    }
    return result;
}

TransformerSpec checkpointSpec(const CheckpointConfig& config, DType weight_dtype) {
    const bool gemma =
        config.family == CheckpointFamily::gemma || config.family == CheckpointFamily::gemma2;
    const bool gemma2 = config.family == CheckpointFamily::gemma2;
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
    spec.position.scaling = config.rope_scaling;
    spec.normalization.kind = NormalizationKind::rms_norm;
    spec.normalization.epsilon = config.rms_norm_eps;
    spec.normalization.unit_offset = gemma;
    spec.normalization.post_attention = gemma2;
    spec.normalization.post_feed_forward = gemma2;
    spec.feed_forward = gemma ? FeedForwardKind::geglu_tanh : FeedForwardKind::swiglu;
    spec.precision.weights = weight_dtype;
    spec.tied_embeddings = config.tie_word_embeddings;
    spec.ports = {
        PortSpec{"token_ids", PortDirection::input, PortKind::token_ids, 1, ""},
        PortSpec{"logits", PortDirection::output, PortKind::logits, config.vocab_size, ""}};
    spec.attention.qkv_bias = config.qkv_bias;
    spec.attention.output_bias = config.output_bias;
    spec.attention.qk_norm = config.family == CheckpointFamily::qwen3;
    spec.attention.window = config.sliding_window;
    spec.attention.window_layers = config.window_layers;
    spec.attention.score_scalar = config.query_pre_attn_scalar;
    spec.attention.score_softcap = config.attn_logit_softcapping;
    spec.embedding_scale = config.embedding_scale;
    spec.logit_softcap = config.final_logit_softcapping;
    return spec;
}

GenerationDefaults parseGenerationConfig(std::string_view text, std::string_view file_name) {
    const Json json = parseObject(text, file_name, "generation config");
    const ConfigReader read{json, file_name, ""};
    GenerationDefaults result;
    result.eos_ids = tokenIds(read, "eos_token_id");
    if (read.find("do_sample") != nullptr) result.do_sample = read.flag("do_sample");
    if (const Json* t = read.find("temperature")) {
        if (!t->is_number() || !std::isfinite(t->get<double>()) || t->get<double>() < 0.0) {
            read.fail("temperature must be a finite number not below zero");
        }
        result.temperature = t->get<double>();
    }
    if (const Json* p = read.find("top_p")) {
        if (!p->is_number() || !(p->get<double>() > 0.0 && p->get<double>() <= 1.0)) {
            read.fail("top_p must be a number above zero and at most one");
        }
        result.top_p = p->get<double>();
    }
    if (const Json* k = read.find("top_k")) {
        if (!k->is_number_unsigned() ||
            k->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
            read.fail("top_k must be a non-negative integer below 2^32");
        }
        result.top_k = static_cast<std::uint32_t>(k->get<std::uint64_t>());
    }
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
