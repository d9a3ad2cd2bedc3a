#include "tarvel/checkpoint/load_checkpoint.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvel/checkpoint/detail/bounded_json.hpp"
#include "tarvel/checkpoint/detail/mapped_file.hpp"
#include "tarvel/checkpoint/detail/tensor_parts.hpp"
#include "tarvel/checkpoint/safetensors.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/format/files.hpp"
#include "tarvel/model/detail/packed_weights.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

// config.json, the index and tokenizer_config.json are small; a larger one is not real.
constexpr std::uint64_t max_json_bytes = 64u * 1024u * 1024u;

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& problem) {
    throw std::invalid_argument(file.string() + ": " + problem);
}

std::vector<std::uint8_t> readSmallFile(const std::filesystem::path& path) {
    return readRegularFile(path, max_json_bytes);
}

std::string_view asText(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string shapeText(const std::vector<std::uint64_t>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
    }
    return text + "]";
}

struct Shard {
    std::filesystem::path path;
    detail::MappedFile file;
    SafetensorsHeader header;
};

struct Located {
    const Shard* shard = nullptr;
    const SafetensorsTensor* tensor = nullptr;
};

using Part = detail::TensorPart;
using Expected = detail::ExpectedTensor;

// The tensor names of one layer after "model.layers.N.", in model order: those every layer of
// the family has.
std::vector<std::string> layerSuffixes(const CheckpointConfig& c) {
    const bool fused = c.family == CheckpointFamily::phi3;
    const bool gemma2 = c.family == CheckpointFamily::gemma2;
    std::vector<std::string> names = {"input_layernorm.weight"};
    if (fused) {
        names.push_back("self_attn.qkv_proj.weight");
    } else {
        names.insert(names.end(), {"self_attn.q_proj.weight", "self_attn.k_proj.weight",
                                   "self_attn.v_proj.weight"});
    }
    if (c.qkv_bias) {
        names.insert(names.end(),
                     {"self_attn.q_proj.bias", "self_attn.k_proj.bias", "self_attn.v_proj.bias"});
    }
    if (c.family == CheckpointFamily::qwen3) {
        names.insert(names.end(), {"self_attn.q_norm.weight", "self_attn.k_norm.weight"});
    }
    names.push_back("self_attn.o_proj.weight");
    if (c.output_bias) names.push_back("self_attn.o_proj.bias");
    names.push_back("post_attention_layernorm.weight");
    if (gemma2) {
        names.insert(names.end(),
                     {"pre_feedforward_layernorm.weight", "post_feedforward_layernorm.weight"});
    }
    if (fused) {
        names.push_back("mlp.gate_up_proj.weight");
    } else {
        names.insert(names.end(), {"mlp.gate_proj.weight", "mlp.up_proj.weight"});
    }
    names.push_back("mlp.down_proj.weight");
    return names;
}

std::vector<Expected> expectedTensors(const CheckpointConfig& c, detail::PackedWeights& w) {
    const std::uint64_t d = c.hidden_size, f = c.intermediate_size, v = c.vocab_size;
    const std::uint64_t hd = c.head_dim;
    const std::uint64_t q = c.num_attention_heads * hd, kv = c.num_key_value_heads * hd;
    std::vector<Expected> list;
    const auto add = [&](std::string name, std::vector<std::uint64_t> shape,
                         detail::PackedTensor* target, std::uint64_t rotary = 0) {
        list.push_back(detail::wholeTensor(std::move(name), std::move(shape), target, rotary));
    };
    add("model.embed_tokens.weight", {v, d}, &w.token_embedding);
    for (std::uint32_t i = 0; i < c.num_hidden_layers; ++i) {
        detail::PackedLayerWeights& l = w.layers[i];
        const std::string p = "model.layers." + std::to_string(i) + ".";
        for (const std::string& suffix : layerSuffixes(c)) {
            const std::string name = p + suffix;
            if (suffix == "input_layernorm.weight") {
                add(name, {d}, &l.attention_norm);
            } else if (suffix == "self_attn.qkv_proj.weight") {
                list.push_back({name,
                                {q + 2 * kv, d},
                                {Part{&l.query, 0, q, hd}, Part{&l.key, q, kv, hd},
                                 Part{&l.value, q + kv, kv, 0}}});
            } else if (suffix == "self_attn.q_proj.weight") {
                add(name, {q, d}, &l.query, hd);
            } else if (suffix == "self_attn.k_proj.weight") {
                add(name, {kv, d}, &l.key, hd);
            } else if (suffix == "self_attn.v_proj.weight") {
                add(name, {kv, d}, &l.value);
            } else if (suffix == "self_attn.q_proj.bias") {
                add(name, {q}, &l.query_bias, hd);
            } else if (suffix == "self_attn.k_proj.bias") {
                add(name, {kv}, &l.key_bias, hd);
            } else if (suffix == "self_attn.v_proj.bias") {
                add(name, {kv}, &l.value_bias);
            } else if (suffix == "self_attn.q_norm.weight") {
                add(name, {hd}, &l.query_norm, hd);
            } else if (suffix == "self_attn.k_norm.weight") {
                add(name, {hd}, &l.key_norm, hd);
            } else if (suffix == "self_attn.o_proj.weight") {
                add(name, {d, q}, &l.attention_output);
            } else if (suffix == "self_attn.o_proj.bias") {
                add(name, {d}, &l.output_bias);
            } else if (suffix == "post_attention_layernorm.weight") {
                // Gemma 2 normalises the attention output with it; the others the stream before
                // the feed-forward block.
                add(name, {d},
                    c.family == CheckpointFamily::gemma2 ? &l.post_attention_norm : &l.ffn_norm);
            } else if (suffix == "pre_feedforward_layernorm.weight") {
                add(name, {d}, &l.ffn_norm);
            } else if (suffix == "post_feedforward_layernorm.weight") {
                add(name, {d}, &l.post_ffn_norm);
            } else if (suffix == "mlp.gate_up_proj.weight") {
                list.push_back(
                    {name, {2 * f, d}, {Part{&l.ffn_gate, 0, f, 0}, Part{&l.ffn_up, f, f, 0}}});
            } else if (suffix == "mlp.gate_proj.weight") {
                add(name, {f, d}, &l.ffn_gate);
            } else if (suffix == "mlp.up_proj.weight") {
                add(name, {f, d}, &l.ffn_up);
            } else {
                add(name, {d, f}, &l.ffn_down);
            }
        }
    }
    add("model.norm.weight", {d}, &w.final_norm);
    if (!c.tie_word_embeddings) add("lm_head.weight", {v, d}, &w.output_embedding);
    return list;
}

// The same dtype, shape and bytes.
bool sameStoredTensor(const Located& a, const Located& b) {
    const SafetensorsTensor& x = *a.tensor;
    const SafetensorsTensor& y = *b.tensor;
    if (x.dtype != y.dtype || x.shape != y.shape || x.end - x.begin != y.end - y.begin) {
        return false;
    }
    const std::uint8_t* p = a.shard->file.bytes().data() + a.shard->header.data_offset + x.begin;
    const std::uint8_t* q = b.shard->file.bytes().data() + b.shard->header.data_offset + y.begin;
    return std::equal(p, p + (x.end - x.begin), q);
}

bool isIgnored(const std::string& name) {
    const std::string suffix = ".rotary_emb.inv_freq";
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Opens the single file or the shards of the index, and finds every tensor exactly once.
std::map<std::string, Located> locateTensors(const std::filesystem::path& folder,
                                             std::vector<std::unique_ptr<Shard>>& shards) {
    const auto open = [&](const std::filesystem::path& path) -> Shard& {
        auto file = detail::MappedFile(path);
        SafetensorsHeader header = parseSafetensorsHeader(file.bytes(), path.string());
        shards.push_back(std::make_unique<Shard>(Shard{path, std::move(file), std::move(header)}));
        return *shards.back();
    };
    std::map<std::string, Located> found;
    const std::filesystem::path index_path = folder / "model.safetensors.index.json";
    const std::filesystem::path single_path = folder / "model.safetensors";
    if (std::filesystem::exists(index_path)) {
        const std::map<std::string, std::string> weight_map =
            parseSafetensorsIndex(asText(readSmallFile(index_path)), index_path.string());
        const std::set<std::string> names = [&] {
            std::set<std::string> s;
            for (const auto& [tensor, shard] : weight_map) s.insert(shard);
            return s;
        }();
        for (const std::string& name : names) {
            const Shard& shard = open(folder / name);
            for (const SafetensorsTensor& tensor : shard.header.tensors) {
                const auto listed = weight_map.find(tensor.name);
                if (listed == weight_map.end()) {
                    fail(shard.path, "tensor " + tensor.name + " is not listed in the index");
                }
                if (listed->second != name) {
                    fail(shard.path, "tensor " + tensor.name + " is listed under " +
                                         listed->second + " in the index");
                }
                found.emplace(tensor.name, Located{&shard, &tensor});
            }
        }
        for (const auto& [tensor, shard] : weight_map) {
            if (found.find(tensor) == found.end()) {
                fail(folder / shard, "tensor " + tensor + " listed in the index is missing");
            }
        }
    } else if (std::filesystem::exists(single_path)) {
        const Shard& shard = open(single_path);
        for (const SafetensorsTensor& tensor : shard.header.tensors) {
            found.emplace(tensor.name, Located{&shard, &tensor});
        }
    } else {
        fail(folder, "no model.safetensors or model.safetensors.index.json");
    }
    return found;
}

DType declaredDtype(const std::string& dtype) {
    if (dtype == "F16") return DType::f16;
    if (dtype == "BF16") return DType::bf16;
    return DType::f32;
}

// A special token's text in tokenizer_config.json: a string, or an object with "content".
std::string tokenText(const nlohmann::json& config, const char* key,
                      const std::filesystem::path& path) {
    const auto it = config.find(key);
    if (it == config.end() || it->is_null()) return {};
    if (it->is_string()) return it->get<std::string>();
    if (it->is_object()) {
        const auto content = it->find("content");
        if (content != it->end() && content->is_string()) return content->get<std::string>();
    }
    fail(path, std::string(key) + " must be a string or an object with a string \"content\"");
}

// A small JSON file of the folder that must hold one object; `what` names it in messages.
nlohmann::json readJsonObject(const std::filesystem::path& path, const std::string& what) {
    const nlohmann::json json =
        detail::parseBoundedJson(asText(readSmallFile(path)), path.string(), what);
    if (json.is_discarded() || !json.is_object()) {
        fail(path, what + " is not a well-formed JSON object");
    }
    return json;
}

// The tokenizer, and what tokenizer_config.json and chat_template.jinja say about chatting.
void loadTokenizer(const std::filesystem::path& folder, TokenizerFile choice,
                   LoadedCheckpoint& result) {
    const CheckpointConfig& config = result.config;
    bool add_bos = true;
    const std::filesystem::path config_path = folder / "tokenizer_config.json";
    if (std::filesystem::exists(config_path)) {
        const nlohmann::json json = readJsonObject(config_path, "tokenizer config");
        const auto it = json.find("add_bos_token");
        if (it != json.end() && !it->is_null()) {
            if (!it->is_boolean()) fail(config_path, "add_bos_token must be true or false");
            add_bos = it->get<bool>();
        }
        result.bos_token = tokenText(json, "bos_token", config_path);
        result.eos_token = tokenText(json, "eos_token", config_path);
        const auto chat = json.find("chat_template");
        if (chat != json.end() && !chat->is_null()) {
            if (chat->is_string()) {
                result.chat_template = chat->get<std::string>();
            } else if (chat->is_array()) {
                for (const nlohmann::json& entry : *chat) {
                    const auto name = entry.is_object() ? entry.find("name") : entry.end();
                    const auto text = entry.is_object() ? entry.find("template") : entry.end();
                    if (name == entry.end() || text == entry.end() || !name->is_string() ||
                        !text->is_string()) {
                        fail(config_path,
                             "chat_template entries must have a string name and template");
                    }
                    if (name->get<std::string>() == "default") result.chat_template = *text;
                }
            } else {
                fail(config_path, "chat_template must be a string or a list of named templates");
            }
            if (result.chat_template) result.chat_template_file = config_path.string();
        }
    }
    const std::filesystem::path jinja_path = folder / "chat_template.jinja";
    if (std::filesystem::exists(jinja_path)) {
        result.chat_template = asText(readSmallFile(jinja_path));
        result.chat_template_file = jinja_path.string();
    }
    const std::filesystem::path json_path = folder / "tokenizer.json";
    const std::filesystem::path model_path = folder / "tokenizer.model";
    const bool use_json =
        choice == TokenizerFile::tokenizer_json ||
        (choice == TokenizerFile::automatic && std::filesystem::exists(json_path));
    const std::filesystem::path& path = use_json ? json_path : model_path;
    if (!std::filesystem::exists(path)) {
        if (choice == TokenizerFile::automatic) return;
        fail(path, "file is missing");
    }
    Tokenizer tokenizer =
        use_json ? Tokenizer::fromJsonFile(path) : Tokenizer::fromFile(path, add_bos);
    if (tokenizer.pieceCount() > config.vocab_size) {
        fail(path, "tokenizer has " + std::to_string(tokenizer.pieceCount()) +
                       " pieces, more than vocab_size " + std::to_string(config.vocab_size));
    }
    result.tokenizer = std::move(tokenizer);
}

// generation_config.json when the folder has one; its eos_token_id, else config.json's, ends
// generation, as the family's own generation does.
GenerationDefaults loadGenerationDefaults(const std::filesystem::path& folder,
                                          const CheckpointConfig& config) {
    const std::filesystem::path path = folder / "generation_config.json";
    GenerationDefaults defaults;
    if (std::filesystem::exists(path)) {
        defaults = parseGenerationConfig(asText(readSmallFile(path)), path.string());
        for (const std::uint32_t id : defaults.eos_ids) {
            if (id >= config.vocab_size) {
                fail(path, "eos_token_id " + std::to_string(id) + " is not below vocab_size " +
                               std::to_string(config.vocab_size));
            }
        }
    }
    if (defaults.eos_ids.empty()) defaults.eos_ids = config.eos_token_ids;
    return defaults;
}

}  // namespace

std::optional<std::filesystem::path> bundledModelPath(const std::filesystem::path& folder) {
    std::error_code error;
    if (std::filesystem::exists(folder / "config.json", error)) return folder.lexically_normal();
    const std::filesystem::path gguf = folder / (folder.filename().string() + ".gguf");
    if (std::filesystem::exists(gguf, error)) return gguf.lexically_normal();
    return std::nullopt;
}

std::uint64_t halfSplitRow(std::uint64_t row, std::uint64_t head_dim) {
    const std::uint64_t head = row / head_dim, within = row % head_dim;
    return head * head_dim + (within % 2) * (head_dim / 2) + within / 2;
}

LoadedCheckpoint loadCheckpoint(const std::filesystem::path& folder,
                                const CheckpointOptions& options) {
    if (!folder.empty() && !std::filesystem::is_directory(folder) &&
        std::filesystem::exists(folder)) {
        return loadGguf(folder, options);
    }
    const std::filesystem::path config_path = folder / "config.json";
    if (!std::filesystem::exists(config_path)) fail(config_path, "file is missing");
    LoadedCheckpoint result;
    result.config = parseCheckpointConfig(asText(readSmallFile(config_path)), config_path.string());
    const CheckpointConfig& config = result.config;

    std::vector<std::unique_ptr<Shard>> shards;
    const std::map<std::string, Located> found = locateTensors(folder, shards);

    // A config may claim any number of layers. When the files hold fewer tensors than the
    // layers need, the first one missing in model order is named before any record is made;
    // the names are distinct, so that search ends within one more name than there are tensors.
    const std::vector<std::string> suffixes = layerSuffixes(config);
    const std::uint64_t needed = suffixes.size() * std::uint64_t{config.num_hidden_layers} + 2 +
                                 (config.tie_word_embeddings ? 0 : 1);
    if (found.size() < needed) {
        const auto require = [&](const std::string& name) {
            if (found.count(name) == 0) fail(folder, "tensor " + name + " is missing");
        };
        require("model.embed_tokens.weight");
        for (std::uint32_t i = 0; i < config.num_hidden_layers; ++i) {
            for (const std::string& suffix : suffixes) {
                require("model.layers." + std::to_string(i) + "." + suffix);
            }
        }
        require("model.norm.weight");
        require("lm_head.weight");
    }
    detail::PackedWeights weights;
    weights.layers.resize(config.num_hidden_layers);
    const std::vector<Expected> expected = expectedTensors(config, weights);
    std::set<std::string> expected_names;
    for (const Expected& e : expected) expected_names.insert(e.name);
    for (const auto& [name, where] : found) {
        if (expected_names.count(name) != 0 || isIgnored(name)) continue;
        // Some exporters store the tied classifier anyway: the same bytes mean the same model.
        if (name == "lm_head.weight" && config.tie_word_embeddings) {
            const auto embedding = found.find("model.embed_tokens.weight");
            if (embedding != found.end() && !sameStoredTensor(where, embedding->second)) {
                fail(where.shard->path,
                     "tensor lm_head.weight differs from model.embed_tokens.weight, but "
                     "tie_word_embeddings is true");
            }
            continue;
        }
        fail(where.shard->path, "unexpected tensor " + name);
    }
    std::uint64_t total = 0;
    for (const Expected& e : expected) {
        const auto it = found.find(e.name);
        if (it == found.end()) fail(folder, "tensor " + e.name + " is missing");
        const SafetensorsTensor& t = *it->second.tensor;
        const std::filesystem::path& file = it->second.shard->path;
        if (!isWidenableDtype(t.dtype)) {
            fail(file, "tensor " + e.name + " has dtype " + t.dtype +
                           "; only F64, F32, F16 and BF16 are supported");
        }
        if (t.shape != e.shape) {
            fail(file, "tensor " + e.name + " has shape " + shapeText(t.shape) + ", expected " +
                           shapeText(e.shape));
        }
        total += t.end - t.begin;
    }

    std::uint64_t done = 0;
    for (const Expected& e : expected) {
        const Located& where = found.at(e.name);
        const SafetensorsTensor& t = *where.tensor;
        const std::uint8_t* data =
            where.shard->file.bytes().data() + where.shard->header.data_offset;
        const std::uint64_t columns = e.shape.size() == 1 ? e.shape[0] : e.shape[1];
        for (const Part& part : e.parts) {
            *part.target = detail::packRows(
                e, part,
                [&](std::uint64_t source, std::span<double> into) {
                    const std::uint64_t offset = t.begin + source * columns * t.element_size;
                    widenValues(
                        std::span<const std::uint8_t>(data + offset, columns * t.element_size),
                        t.dtype, into);
                },
                [&] { fail(where.shard->path, "tensor " + e.name + " contains NaN/Inf"); });
        }
        // The tensor's bytes are packed now; the mapping need not keep them resident.
        where.shard->file.release(where.shard->header.data_offset + t.begin, t.end - t.begin);
        done += t.end - t.begin;
        if (options.progress) options.progress(done, total);
    }

    const TransformerSpec spec =
        checkpointSpec(config, declaredDtype(found.at("model.embed_tokens.weight").tensor->dtype));
    shards.clear();  // the values are packed; release the mappings before the model is built
    loadTokenizer(folder, options.tokenizer, result);
    result.generation = loadGenerationDefaults(folder, config);
    std::optional<std::string> identity;
    if (result.tokenizer) identity = result.tokenizer->identity();
    result.model =
        std::make_shared<const TransformerModel>(spec, std::move(weights), std::move(identity));
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
