#include "fixture_checkpoints.hpp"

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace tarvel_test {
namespace {

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// k / 128 * scale with |k| <= 127 and scale a power of two: at most 8 significant bits, so
// exact in BF16, F16, F32 and F64 alike.
std::vector<double> fill(std::uint64_t seed, std::uint64_t count, double scale) {
    std::vector<double> values(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto k = static_cast<int>(mix(seed * 0x9E3779B97F4A7C15ull + i) % 255) - 127;
        values[i] = static_cast<double>(k) / 128.0 * scale;
    }
    return values;
}

// Norm scales around one: (96 + k) / 128 with k < 64.
std::vector<double> norm(std::uint64_t seed, std::uint64_t count) {
    std::vector<double> values(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        values[i] = static_cast<double>(96 + mix(seed * 31 + i) % 64) / 128.0;
    }
    return values;
}

struct Shape {
    std::string name;
    std::string architecture = "LlamaForCausalLM";
    std::string dtype;
    std::uint32_t vocab = 40, hidden = 16, inter = 24, layers = 2, heads = 4, kv_heads = 2;
    std::uint32_t context = 16;
    bool tied = false;
    double theta = 10000.0;
    int shards = 1;
};

FixtureCheckpoint build(const Shape& s) {
    FixtureCheckpoint c;
    c.name = s.name;
    c.shards = s.shards;
    c.config = {{"architectures", {s.architecture}},
                {"model_type", s.architecture == "MistralForCausalLM" ? "mistral" : "llama"},
                {"hidden_size", s.hidden},
                {"intermediate_size", s.inter},
                {"num_hidden_layers", s.layers},
                {"num_attention_heads", s.heads},
                {"num_key_value_heads", s.kv_heads},
                {"vocab_size", s.vocab},
                {"max_position_embeddings", s.context},
                {"rms_norm_eps", 1e-5},
                {"rope_theta", s.theta},
                {"hidden_act", "silu"},
                {"tie_word_embeddings", s.tied},
                {"rope_scaling", nullptr},
                {"attention_bias", false},
                {"mlp_bias", false},
                {"torch_dtype", "float32"}};
    if (s.architecture == "MistralForCausalLM") c.config["sliding_window"] = nullptr;
    const std::uint64_t d = s.hidden, f = s.inter, v = s.vocab, hd = s.hidden / s.heads;
    const std::uint64_t kv = s.kv_heads * hd;
    std::uint64_t seed = 1;
    const auto add = [&](const std::string& name, std::vector<std::uint64_t> shape, bool is_norm,
                         double scale) {
        std::uint64_t count = 1;
        for (const auto e : shape) count *= e;
        c.tensors.push_back(
            {name, s.dtype, shape, is_norm ? norm(seed, count) : fill(seed, count, scale), {}});
        ++seed;
    };
    add("model.embed_tokens.weight", {v, d}, false, 1.0);
    for (std::uint32_t i = 0; i < s.layers; ++i) {
        const std::string p = "model.layers." + std::to_string(i) + ".";
        add(p + "input_layernorm.weight", {d}, true, 1.0);
        add(p + "self_attn.q_proj.weight", {d, d}, false, 0.5);
        add(p + "self_attn.k_proj.weight", {kv, d}, false, 0.5);
        add(p + "self_attn.v_proj.weight", {kv, d}, false, 0.5);
        add(p + "self_attn.o_proj.weight", {d, d}, false, 0.25);
        add(p + "post_attention_layernorm.weight", {d}, true, 1.0);
        add(p + "mlp.gate_proj.weight", {f, d}, false, 0.5);
        add(p + "mlp.up_proj.weight", {f, d}, false, 0.5);
        add(p + "mlp.down_proj.weight", {d, f}, false, 0.25);
    }
    add("model.norm.weight", {d}, true, 1.0);
    if (!s.tied) add("lm_head.weight", {v, d}, false, 0.5);
    c.tokens = {1, 5, 9, 2, 33, 17, 0, 38, 12, 7};
    return c;
}

// One small checkpoint of a family, in the tensor names, layout and config keys its published
// configuration class and modeling code use, with every feature the family has made to matter
// over 14 tokens: a window of 4, a llama3 band holding one rotary pair of each kind, heads wider
// than hidden_size / num_attention_heads, an embedding scale that rounds in every dtype.
FixtureCheckpoint familyFixture(const std::string& family, const std::string& dtype) {
    const std::map<std::string, std::string> dtype_names = {
        {"F32", "float32"}, {"F16", "float16"}, {"BF16", "bfloat16"}};
    FixtureCheckpoint c;
    c.name = family + "_" + dtype_names.at(dtype);
    std::uint32_t hidden = 16, heads = 4, kv_heads = 2, head_dim = 4, inter = 24, layers = 2;
    std::string architecture;
    nlohmann::json extra = nlohmann::json::object();
    bool tied = false, qkv_bias = false, o_bias = false, qk_norm = false, gemma = false,
         gemma2 = false, fused = false;
    if (family == "llama3") {
        architecture = "LlamaForCausalLM";
        hidden = 32;
        head_dim = 8;
        tied = true;
        // Wavelengths 2 pi * 100^(k / 4): 6.3 below 32 / 4 is kept, 19.9 is blended, 62.8 and
        // 199 above 32 are stretched.
        extra = {{"rope_theta", 100.0},
                 {"head_dim", 8},
                 {"rope_scaling",
                  {{"rope_type", "llama3"},
                   {"factor", 4.0},
                   {"low_freq_factor", 1.0},
                   {"high_freq_factor", 4.0},
                   {"original_max_position_embeddings", 32}}}};
    } else if (family == "llama_linear") {
        architecture = "LlamaForCausalLM";
        qkv_bias = o_bias = true;
        extra = {{"rope_scaling", {{"type", "linear"}, {"factor", 2.0}}}, {"attention_bias", true}};
    } else if (family == "mistral") {
        architecture = "MistralForCausalLM";
        extra = {{"sliding_window", 4}};
    } else if (family == "qwen2") {
        architecture = "Qwen2ForCausalLM";
        tied = qkv_bias = true;
        extra = {{"rope_theta", 1000000.0},
                 {"use_sliding_window", false},
                 {"sliding_window", 4096},
                 {"max_window_layers", 2}};
    } else if (family == "qwen3") {
        architecture = "Qwen3ForCausalLM";
        head_dim = 8;
        tied = qk_norm = true;
        extra = {{"head_dim", 8}, {"attention_bias", false}, {"use_sliding_window", false}};
    } else if (family == "gemma") {
        architecture = "GemmaForCausalLM";
        hidden = 24;
        head_dim = 8;
        kv_heads = 1;
        tied = gemma = true;
        extra = {
            {"head_dim", 8}, {"hidden_act", "gelu"}, {"hidden_activation", "gelu_pytorch_tanh"}};
    } else if (family == "gemma2") {
        architecture = "Gemma2ForCausalLM";
        hidden = 24;
        head_dim = 8;
        tied = gemma = gemma2 = true;
        extra = {{"head_dim", 8},
                 {"hidden_activation", "gelu_pytorch_tanh"},
                 {"query_pre_attn_scalar", 12},
                 {"sliding_window", 4},
                 {"attn_logit_softcapping", 2.0},
                 {"final_logit_softcapping", 3.0}};
    } else if (family == "phi3") {
        architecture = "Phi3ForCausalLM";
        fused = true;
        extra = {{"sliding_window", 4}, {"original_max_position_embeddings", 32}};
    } else {
        throw std::invalid_argument("no fixture family " + family);
    }
    c.config = {{"architectures", {architecture}},
                {"hidden_size", hidden},
                {"intermediate_size", inter},
                {"num_hidden_layers", layers},
                {"num_attention_heads", heads},
                {"num_key_value_heads", kv_heads},
                {"vocab_size", 40},
                {"max_position_embeddings", 64},
                {"rms_norm_eps", 1e-5},
                {"tie_word_embeddings", tied},
                {"torch_dtype", dtype_names.at(dtype)},
                {"eos_token_id", 2}};
    if (!gemma) c.config["hidden_act"] = "silu";
    c.config.update(extra);

    const std::uint64_t d = hidden, f = inter, v = 40, q = heads * head_dim,
                        kv = kv_heads * head_dim;
    std::uint64_t seed = 100;
    const auto add = [&](const std::string& name, std::vector<std::uint64_t> shape, double scale) {
        std::uint64_t count = 1;
        for (const auto e : shape) count *= e;
        c.tensors.push_back({name, dtype, shape, fill(seed++, count, scale), {}});
    };
    // Gemma stores norm weights as offsets from one.
    const auto addNorm = [&](const std::string& name, std::uint64_t width) {
        if (gemma) {
            add(name, {width}, 0.25);
        } else {
            c.tensors.push_back({name, dtype, {width}, norm(seed++, width), {}});
        }
    };
    add("model.embed_tokens.weight", {v, d}, 1.0);
    for (std::uint32_t i = 0; i < layers; ++i) {
        const std::string p = "model.layers." + std::to_string(i) + ".";
        addNorm(p + "input_layernorm.weight", d);
        if (fused) {
            add(p + "self_attn.qkv_proj.weight", {q + 2 * kv, d}, 0.5);
        } else {
            add(p + "self_attn.q_proj.weight", {q, d}, 0.5);
            add(p + "self_attn.k_proj.weight", {kv, d}, 0.5);
            add(p + "self_attn.v_proj.weight", {kv, d}, 0.5);
        }
        if (qkv_bias) {
            add(p + "self_attn.q_proj.bias", {q}, 0.5);
            add(p + "self_attn.k_proj.bias", {kv}, 0.5);
            add(p + "self_attn.v_proj.bias", {kv}, 0.5);
        }
        if (qk_norm) {
            addNorm(p + "self_attn.q_norm.weight", head_dim);
            addNorm(p + "self_attn.k_norm.weight", head_dim);
        }
        add(p + "self_attn.o_proj.weight", {d, q}, 0.25);
        if (o_bias) add(p + "self_attn.o_proj.bias", {d}, 0.25);
        addNorm(p + "post_attention_layernorm.weight", d);
        if (gemma2) {
            addNorm(p + "pre_feedforward_layernorm.weight", d);
            addNorm(p + "post_feedforward_layernorm.weight", d);
        }
        if (fused) {
            add(p + "mlp.gate_up_proj.weight", {2 * f, d}, 0.5);
        } else {
            add(p + "mlp.gate_proj.weight", {f, d}, 0.5);
            add(p + "mlp.up_proj.weight", {f, d}, 0.5);
        }
        add(p + "mlp.down_proj.weight", {d, f}, 0.25);
    }
    addNorm("model.norm.weight", d);
    if (!tied) add("lm_head.weight", {v, d}, 0.5);
    c.tokens = {1, 5, 9, 2, 33, 17, 0, 38, 12, 7, 21, 30, 4, 39};
    return c;
}

}  // namespace

std::vector<FixtureCheckpoint> familyFixtures() {
    std::vector<FixtureCheckpoint> list;
    for (const char* family : {"llama3", "mistral", "qwen2", "qwen3", "gemma", "gemma2", "phi3"}) {
        for (const char* dtype : {"F32", "F16", "BF16"})
            list.push_back(familyFixture(family, dtype));
    }
    list.push_back(familyFixture("llama_linear", "F32"));
    return list;
}

std::vector<IgnoredFeature> ignoredFeatures() {
    return {
        {"llama3_bfloat16", "scaling"},
        {"llama_linear_float32", "scaling"},
        {"llama_linear_float32", "bias"},
        {"mistral_bfloat16", "window"},
        {"qwen2_bfloat16", "bias"},
        {"qwen3_bfloat16", "qk_norm"},
        {"gemma_bfloat16", "norm_offset"},
        {"gemma_bfloat16", "embed_scale"},
        {"gemma_bfloat16", "embed_rounding"},
        {"gemma_bfloat16", "gelu_tanh"},
        {"gemma2_bfloat16", "norm_offset"},
        {"gemma2_bfloat16", "embed_scale"},
        {"gemma2_bfloat16", "embed_rounding"},
        {"gemma2_bfloat16", "gelu_tanh"},
        {"gemma2_bfloat16", "post_norms"},
        {"gemma2_bfloat16", "attn_softcap"},
        {"gemma2_bfloat16", "final_softcap"},
        {"gemma2_bfloat16", "query_scalar"},
        {"gemma2_bfloat16", "window"},
        {"phi3_bfloat16", "fused_order"},
        {"phi3_bfloat16", "window"},
    };
}

std::vector<FixtureCheckpoint> goldenFixtures() {
    std::vector<FixtureCheckpoint> list;
    Shape s;
    s.name = "f32_gqa_untied";
    s.dtype = "F32";
    list.push_back(build(s));

    s = Shape{};
    s.name = "f64_mha_tied_mistral";
    s.architecture = "MistralForCausalLM";
    s.dtype = "F64";
    s.heads = 2;
    s.kv_heads = 2;
    s.tied = true;
    s.theta = 500.0;
    list.push_back(build(s));

    s = Shape{};
    s.name = "f16_gqa_tied";
    s.dtype = "F16";
    s.kv_heads = 1;
    s.tied = true;
    list.push_back(build(s));

    s = Shape{};
    s.name = "bf16_gqa_untied_hd6";
    s.dtype = "BF16";
    s.hidden = 24;
    s.inter = 32;
    s.layers = 3;
    list.push_back(build(s));

    s = Shape{};
    s.name = "f32_sharded";
    s.dtype = "F32";
    s.heads = 2;
    s.kv_heads = 1;
    s.shards = 3;
    FixtureCheckpoint sharded = build(s);
    // Rotary caches some exporters write are ignored on import.
    sharded.tensors.push_back(
        {"model.layers.0.self_attn.rotary_emb.inv_freq", "F32", {4}, {1.0, 0.5, 0.25, 0.125}, {}});
    list.push_back(sharded);
    for (FixtureCheckpoint& family : familyFixtures()) list.push_back(std::move(family));
    return list;
}

FixtureCheckpoint textFixture(std::uint32_t vocab) {
    Shape s;
    s.name = "text";
    s.dtype = "F32";
    s.vocab = vocab;
    s.context = 64;
    return build(s);
}

void appendValue(std::vector<std::uint8_t>& out, const std::string& dtype, double value) {
    const auto put = [&](std::uint64_t bits, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    };
    if (dtype == "F64") {
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        put(bits, 8);
    } else if (dtype == "F32" || dtype == "BF16") {
        const auto f = static_cast<float>(value);
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        if (dtype == "F32") {
            put(bits, 4);
        } else {
            put(bits >> 16, 2);
        }
    } else if (dtype == "F16") {
        std::uint32_t bits = 0;
        if (std::isnan(value)) {
            bits = 0x7e00;
        } else if (std::isinf(value)) {
            bits = value > 0 ? 0x7c00 : 0xfc00;
        } else {
            bits = std::signbit(value) ? 0x8000u : 0u;
            int e = 0;
            const double m = std::frexp(std::fabs(value), &e);  // m in [0.5, 1)
            if (value == 0.0) {
            } else if (e - 1 + 15 <= 0) {
                bits |= static_cast<std::uint32_t>(std::ldexp(std::fabs(value), 24));  // subnormal
            } else {
                bits |= static_cast<std::uint32_t>(e - 1 + 15) << 10 |
                        static_cast<std::uint32_t>((m * 2.0 - 1.0) * 1024.0);
            }
        }
        put(bits, 2);
    } else {
        throw std::invalid_argument("fixture dtype " + dtype + " has no encoder");
    }
}

std::vector<std::uint8_t> safetensorsFile(const std::vector<StoredTensor>& tensors,
                                          const nlohmann::json& metadata) {
    nlohmann::ordered_json header = nlohmann::ordered_json::object();
    if (!metadata.is_null()) header["__metadata__"] = metadata;
    std::vector<std::uint8_t> data;
    for (const StoredTensor& t : tensors) {
        const std::uint64_t begin = data.size();
        if (!t.raw.empty()) {
            data.insert(data.end(), t.raw.begin(), t.raw.end());
        } else {
            for (const double value : t.values) appendValue(data, t.dtype, value);
        }
        header[t.name] = {
            {"dtype", t.dtype}, {"shape", t.shape}, {"data_offsets", {begin, data.size()}}};
    }
    std::string text = header.dump();
    while (text.size() % 8 != 0) text += ' ';  // writers pad the header to eight bytes
    std::vector<std::uint8_t> file;
    for (int i = 0; i < 8; ++i) file.push_back(static_cast<std::uint8_t>(text.size() >> (8 * i)));
    file.insert(file.end(), text.begin(), text.end());
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    writeBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void writeCheckpoint(const std::filesystem::path& folder, const FixtureCheckpoint& c) {
    std::filesystem::create_directories(folder);
    writeText(folder / "config.json", c.config.dump(2));
    if (c.shards <= 1) {
        writeBytes(folder / "model.safetensors", safetensorsFile(c.tensors, {{"format", "pt"}}));
        return;
    }
    nlohmann::json map = nlohmann::json::object();
    const std::size_t per = (c.tensors.size() + static_cast<std::size_t>(c.shards) - 1) /
                            static_cast<std::size_t>(c.shards);
    for (int k = 0; k < c.shards; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, "model-%05d-of-%05d.safetensors", k + 1, c.shards);
        std::vector<StoredTensor> part;
        for (std::size_t i = static_cast<std::size_t>(k) * per;
             i < std::min(c.tensors.size(), static_cast<std::size_t>(k + 1) * per); ++i) {
            part.push_back(c.tensors[i]);
            map[c.tensors[i].name] = name;
        }
        writeBytes(folder / name, safetensorsFile(part, {{"format", "pt"}}));
    }
    writeText(folder / "model.safetensors.index.json",
              nlohmann::json{{"metadata", {{"total_size", 0}}}, {"weight_map", map}}.dump(2));
}

std::filesystem::path freshDirectory(const std::string& name) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("tarvel-test-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace tarvel_test
