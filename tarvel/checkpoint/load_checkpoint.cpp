#include "tarvel/checkpoint/load_checkpoint.hpp"

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvel/checkpoint/detail/bounded_json.hpp"
#include "tarvel/checkpoint/detail/mapped_file.hpp"
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

// One tensor the config implies, with where its values go.
struct Expected {
    std::string name;
    std::vector<std::uint64_t> shape;
    detail::PackedTensor* target = nullptr;
    std::uint64_t rotary_head_dim = 0;  // non-zero: rows are stored in half-split order
};

std::vector<Expected> expectedTensors(const CheckpointConfig& c, detail::PackedWeights& w) {
    const std::uint64_t d = c.hidden_size, f = c.intermediate_size, v = c.vocab_size;
    const std::uint64_t hd = c.head_dim;
    const std::uint64_t q = c.num_attention_heads * hd, kv = c.num_key_value_heads * hd;
    std::vector<Expected> list;
    list.push_back({"model.embed_tokens.weight", {v, d}, &w.token_embedding, 0});
    for (std::uint32_t i = 0; i < c.num_hidden_layers; ++i) {
        detail::PackedLayerWeights& l = w.layers[i];
        const std::string p = "model.layers." + std::to_string(i) + ".";
        list.push_back({p + "input_layernorm.weight", {d}, &l.attention_norm, 0});
        list.push_back({p + "self_attn.q_proj.weight", {q, d}, &l.query, hd});
        list.push_back({p + "self_attn.k_proj.weight", {kv, d}, &l.key, hd});
        list.push_back({p + "self_attn.v_proj.weight", {kv, d}, &l.value, 0});
        list.push_back({p + "self_attn.o_proj.weight", {d, q}, &l.attention_output, 0});
        list.push_back({p + "post_attention_layernorm.weight", {d}, &l.ffn_norm, 0});
        list.push_back({p + "mlp.gate_proj.weight", {f, d}, &l.ffn_gate, 0});
        list.push_back({p + "mlp.up_proj.weight", {f, d}, &l.ffn_up, 0});
        list.push_back({p + "mlp.down_proj.weight", {d, f}, &l.ffn_down, 0});
    }
    list.push_back({"model.norm.weight", {d}, &w.final_norm, 0});
    if (!c.tie_word_embeddings) list.push_back({"lm_head.weight", {v, d}, &w.output_embedding, 0});
    return list;
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

// The tokenizer, and what tokenizer_config.json, chat_template.jinja and
// generation_config.json say about chatting and stopping.
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
    const std::filesystem::path generation_path = folder / "generation_config.json";
    if (std::filesystem::exists(generation_path)) {
        const nlohmann::json json = readJsonObject(generation_path, "generation config");
        const auto it = json.find("eos_token_id");
        if (it != json.end() && !it->is_null()) {
            const nlohmann::json list = it->is_array() ? *it : nlohmann::json::array({*it});
            for (const nlohmann::json& id : list) {
                if (!id.is_number_unsigned() || id.get<std::uint64_t>() >= config.vocab_size) {
                    fail(generation_path, "eos_token_id must be token ids below vocab_size");
                }
                result.eos_ids.push_back(static_cast<std::uint32_t>(id.get<std::uint64_t>()));
            }
        }
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

}  // namespace

std::uint64_t halfSplitRow(std::uint64_t row, std::uint64_t head_dim) {
    const std::uint64_t head = row / head_dim, within = row % head_dim;
    return head * head_dim + (within % 2) * (head_dim / 2) + within / 2;
}

LoadedCheckpoint loadCheckpoint(const std::filesystem::path& folder,
                                const CheckpointOptions& options) {
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
    const std::uint64_t needed =
        9 * std::uint64_t{config.num_hidden_layers} + 2 + (config.tie_word_embeddings ? 0 : 1);
    if (found.size() < needed) {
        const auto require = [&](const std::string& name) {
            if (found.count(name) == 0) fail(folder, "tensor " + name + " is missing");
        };
        require("model.embed_tokens.weight");
        const char* suffixes[] = {
            "input_layernorm.weight",  "self_attn.q_proj.weight", "self_attn.k_proj.weight",
            "self_attn.v_proj.weight", "self_attn.o_proj.weight", "post_attention_layernorm.weight",
            "mlp.gate_proj.weight",    "mlp.up_proj.weight",      "mlp.down_proj.weight"};
        for (std::uint32_t i = 0; i < config.num_hidden_layers; ++i) {
            for (const char* suffix : suffixes) {
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
        if (expected_names.count(name) == 0 && !isIgnored(name)) {
            fail(where.shard->path, "unexpected tensor " + name);
        }
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
        const std::uint64_t columns = e.shape.size() == 2 ? e.shape[1] : e.shape[0];
        const std::uint64_t rows = e.shape.size() == 2 ? e.shape[0] : 1;
        // One row at a time from the mapped file into the packed tensor: no copy of the whole
        // tensor as doubles is ever made. The first pass checks the values and picks the
        // narrowest type holding all of them; the second stores them in it.
        std::vector<double> row(static_cast<std::size_t>(columns));
        const auto widenRow = [&](std::uint64_t r) {
            const std::uint64_t source =
                e.rotary_head_dim != 0 ? halfSplitRow(r, e.rotary_head_dim) : r;
            const std::uint64_t offset = t.begin + source * columns * t.element_size;
            widenValues(std::span<const std::uint8_t>(data + offset, columns * t.element_size),
                        t.dtype, std::span<double>(row));
        };
        detail::ExactTypes types;
        for (std::uint64_t r = 0; r < rows; ++r) {
            widenRow(r);
            for (const double value : row) {
                if (!std::isfinite(value))
                    fail(where.shard->path, "tensor " + e.name + " contains NaN/Inf");
            }
            types.add(row);
        }
        detail::PackedTensor tensor = detail::emptyPacked(e.shape, types.narrowest(),
                                                          static_cast<std::size_t>(rows * columns));
        for (std::uint64_t r = 0; r < rows; ++r) {
            widenRow(r);
            detail::appendPacked(tensor, row);
        }
        detail::arrangePanels(tensor);
        // The tensor's bytes are packed now; the mapping need not keep them resident.
        where.shard->file.release(where.shard->header.data_offset + t.begin, t.end - t.begin);
        *e.target = std::move(tensor);
        done += t.end - t.begin;
        if (options.progress) options.progress(done, total);
    }

    const TransformerSpec spec =
        checkpointSpec(config, declaredDtype(found.at("model.embed_tokens.weight").tensor->dtype));
    shards.clear();  // the values are packed; release the mappings before the model is built
    loadTokenizer(folder, options.tokenizer, result);
    std::optional<std::string> identity;
    if (result.tokenizer) identity = result.tokenizer->identity();
    result.model =
        std::make_shared<const TransformerModel>(spec, std::move(weights), std::move(identity));
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
