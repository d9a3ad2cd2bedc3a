// A GGUF file as a model: its metadata as the config of one of the families, its tensors as the
// block's weights, its tokenizer and chat template.

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>

#include "tarvel/checkpoint/detail/gguf_tokenizer.hpp"
#include "tarvel/checkpoint/detail/mapped_file.hpp"
#include "tarvel/checkpoint/detail/tensor_parts.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/checkpoint/safetensors.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/quantized.hpp"
#include "tarvel/gguf/gguf.hpp"
#include "tarvel/model/detail/packed_weights.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& problem) {
    throw std::invalid_argument(file.string() + ": " + problem);
}

struct Family {
    const char* architecture;
    CheckpointFamily family;
    // Whether the q and k rows are stored in half-split rotary order (every architecture but
    // llama, whose converter stores adjacent pairs, the order the block computes in).
    bool half_split;
};

constexpr Family families[] = {
    {"llama", CheckpointFamily::llama, false},  {"qwen2", CheckpointFamily::qwen2, true},
    {"qwen3", CheckpointFamily::qwen3, true},   {"gemma", CheckpointFamily::gemma, true},
    {"gemma2", CheckpointFamily::gemma2, true}, {"phi3", CheckpointFamily::phi3, true},
};

// Metadata reads with the file's name on every message.
struct Reader {
    const gguf::File& file;
    const std::filesystem::path& path;
    std::string prefix;  // "<architecture>."

    template <typename Fn>
    auto read(Fn&& fn) const -> decltype(fn()) {
        try {
            return fn();
        } catch (const std::invalid_argument& e) {
            fail(path, e.what());
        }
    }
    std::optional<std::uint64_t> unsignedValue(const std::string& key) const {
        return read([&] { return file.unsignedValue(key); });
    }
    std::optional<double> floatValue(const std::string& key) const {
        return read([&] { return file.floatValue(key); });
    }
    std::optional<std::string> stringValue(const std::string& key) const {
        return read([&] { return file.stringValue(key); });
    }
    std::optional<bool> boolValue(const std::string& key) const {
        return read([&] { return file.boolValue(key); });
    }
    // An architecture key that must be there, a positive integer below 2^32.
    std::uint32_t positive(const std::string& name) const {
        const std::optional<std::uint32_t> v = optionalPositive(name);
        if (!v) fail(path, prefix + name + " is missing");
        return *v;
    }
    std::optional<std::uint32_t> optionalPositive(const std::string& name) const {
        const std::optional<std::uint64_t> v = unsignedValue(prefix + name);
        if (!v) return std::nullopt;
        if (*v == 0 || *v > std::numeric_limits<std::uint32_t>::max()) {
            fail(path, prefix + name + " must be a positive integer below 2^32, not " +
                           std::to_string(*v));
        }
        return static_cast<std::uint32_t>(*v);
    }
    // A float the file holds (as float32, widened exactly), finite and positive.
    std::optional<double> positiveFloat(const std::string& name) const {
        const std::optional<double> v = floatValue(prefix + name);
        if (v && !(std::isfinite(*v) && *v > 0.0)) {
            fail(path, prefix + name + " must be a finite number above zero");
        }
        return v;
    }
};

const Family& familyOf(const Reader& r) {
    const std::optional<std::string> arch = r.stringValue("general.architecture");
    if (!arch) fail(r.path, "general.architecture is missing");
    for (const Family& f : families) {
        if (*arch == f.architecture) return f;
    }
    fail(r.path, "architecture '" + *arch +
                     "' is not supported (llama, qwen2, qwen3, gemma, gemma2 and phi3 are)");
}

CheckpointConfig configOf(const Reader& r, const Family& family, std::uint32_t vocabulary) {
    CheckpointConfig c;
    c.architecture = family.architecture;
    c.family = family.family;
    if (r.file.find(r.prefix + "expert_count") != nullptr) {
        fail(r.path, r.prefix + "expert_count: mixture-of-experts models are not supported");
    }
    c.hidden_size = r.positive("embedding_length");
    c.intermediate_size = r.positive("feed_forward_length");
    c.num_hidden_layers = r.positive("block_count");
    c.num_attention_heads = r.positive("attention.head_count");
    c.num_key_value_heads =
        r.optionalPositive("attention.head_count_kv").value_or(c.num_attention_heads);
    c.max_position_embeddings = r.positive("context_length");
    c.vocab_size = vocabulary;
    if (const auto given = r.optionalPositive("vocab_size"); given && *given != vocabulary) {
        fail(r.path, r.prefix + "vocab_size " + std::to_string(*given) +
                         " differs from the embedding's " + std::to_string(vocabulary) + " rows");
    }
    const std::optional<double> eps = r.positiveFloat("attention.layer_norm_rms_epsilon");
    if (!eps) fail(r.path, r.prefix + "attention.layer_norm_rms_epsilon is missing");
    c.rms_norm_eps = *eps;
    c.rope_theta = r.positiveFloat("rope.freq_base").value_or(10000.0);
    c.head_dim =
        r.optionalPositive("attention.key_length").value_or(c.hidden_size / c.num_attention_heads);
    if (const auto value = r.optionalPositive("attention.value_length");
        value && *value != c.head_dim) {
        fail(r.path, r.prefix + "attention.value_length " + std::to_string(*value) +
                         " differs from the key length " + std::to_string(c.head_dim));
    }
    if (const auto rotated = r.optionalPositive("rope.dimension_count");
        rotated && *rotated != c.head_dim) {
        fail(r.path, r.prefix + "rope.dimension_count " + std::to_string(*rotated) +
                         ": partial rotation is not supported");
    }
    const std::string scaling = r.stringValue(r.prefix + "rope.scaling.type").value_or("none");
    if (scaling == "linear") {
        const std::optional<double> factor = r.positiveFloat("rope.scaling.factor");
        if (!factor) fail(r.path, r.prefix + "rope.scaling.factor is missing");
        c.rope_scaling.kind = RopeScalingKind::linear;
        c.rope_scaling.factor = *factor;
    } else if (scaling != "none") {
        fail(r.path, r.prefix + "rope.scaling.type '" + scaling + "' is not supported");
    }
    if (const auto factor = r.positiveFloat("rope.scale_linear"); factor && *factor != 1.0) {
        c.rope_scaling.kind = RopeScalingKind::linear;
        c.rope_scaling.factor = *factor;
    }
    const std::optional<std::uint32_t> window = r.optionalPositive("attention.sliding_window");
    if (family.family == CheckpointFamily::gemma2) {
        c.sliding_window = window.value_or(0);
        c.window_layers = WindowLayers::even;
        c.attn_logit_softcapping = r.positiveFloat("attn_logit_softcapping").value_or(0.0);
        c.final_logit_softcapping = r.positiveFloat("final_logit_softcapping").value_or(0.0);
        // The file does not store the query scalar: Gemma 2's 27B model (46 layers) scales by
        // hidden_size / heads, the others by the head size, as the format's own runtime does.
        c.query_pre_attn_scalar = c.num_hidden_layers == 46
                                      ? static_cast<double>(c.hidden_size / c.num_attention_heads)
                                      : static_cast<double>(c.head_dim);
    } else if (window) {
        if (family.family != CheckpointFamily::phi3 && family.family != CheckpointFamily::llama) {
            fail(r.path,
                 r.prefix + "attention.sliding_window is not supported for " + family.architecture);
        }
        c.sliding_window = *window < c.max_position_embeddings ? *window : 0;
    }
    if (family.family == CheckpointFamily::gemma || family.family == CheckpointFamily::gemma2) {
        // The format's runtime scales the embedding by sqrt(hidden_size) in float32.
        c.embedding_scale = *roundedEmbeddingScale(c.hidden_size, "float32");
    }
    return c;
}

using Part = detail::TensorPart;
using Expected = detail::ExpectedTensor;

std::vector<Expected> expectedTensors(const CheckpointConfig& c, bool half_split, bool has_output,
                                      detail::PackedWeights& w) {
    const std::uint64_t d = c.hidden_size, f = c.intermediate_size, v = c.vocab_size;
    const std::uint64_t hd = c.head_dim;
    const std::uint64_t rot = half_split ? hd : 0;
    const std::uint64_t q = c.num_attention_heads * hd, kv = c.num_key_value_heads * hd;
    std::vector<Expected> list;
    const auto add = [&](std::string name, std::vector<std::uint64_t> shape,
                         detail::PackedTensor* target, std::uint64_t rotary = 0) {
        list.push_back(detail::wholeTensor(std::move(name), std::move(shape), target, rotary));
    };
    add("token_embd.weight", {v, d}, &w.token_embedding);
    for (std::uint32_t i = 0; i < c.num_hidden_layers; ++i) {
        detail::PackedLayerWeights& l = w.layers[i];
        const std::string p = "blk." + std::to_string(i) + ".";
        add(p + "attn_norm.weight", {d}, &l.attention_norm);
        if (c.family == CheckpointFamily::phi3) {
            list.push_back({p + "attn_qkv.weight",
                            {q + 2 * kv, d},
                            {Part{&l.query, 0, q, rot}, Part{&l.key, q, kv, rot},
                             Part{&l.value, q + kv, kv, 0}}});
        } else {
            add(p + "attn_q.weight", {q, d}, &l.query, rot);
            add(p + "attn_k.weight", {kv, d}, &l.key, rot);
            add(p + "attn_v.weight", {kv, d}, &l.value);
        }
        if (c.qkv_bias) {
            add(p + "attn_q.bias", {q}, &l.query_bias, rot);
            add(p + "attn_k.bias", {kv}, &l.key_bias, rot);
            add(p + "attn_v.bias", {kv}, &l.value_bias);
        }
        if (c.family == CheckpointFamily::qwen3) {
            add(p + "attn_q_norm.weight", {hd}, &l.query_norm, rot);
            add(p + "attn_k_norm.weight", {hd}, &l.key_norm, rot);
        }
        add(p + "attn_output.weight", {d, q}, &l.attention_output);
        if (c.output_bias) add(p + "attn_output.bias", {d}, &l.output_bias);
        if (c.family == CheckpointFamily::gemma2) {
            add(p + "post_attention_norm.weight", {d}, &l.post_attention_norm);
        }
        add(p + "ffn_norm.weight", {d}, &l.ffn_norm);
        if (c.family == CheckpointFamily::gemma2) {
            add(p + "post_ffw_norm.weight", {d}, &l.post_ffn_norm);
        }
        if (c.family == CheckpointFamily::phi3) {
            list.push_back({p + "ffn_up.weight",
                            {2 * f, d},
                            {Part{&l.ffn_gate, 0, f, 0}, Part{&l.ffn_up, f, f, 0}}});
        } else {
            add(p + "ffn_gate.weight", {f, d}, &l.ffn_gate);
            add(p + "ffn_up.weight", {f, d}, &l.ffn_up);
        }
        add(p + "ffn_down.weight", {d, f}, &l.ffn_down);
    }
    add("output_norm.weight", {d}, &w.final_norm);
    if (has_output) add("output.weight", {v, d}, &w.output_embedding);
    return list;
}

std::string shapeText(const std::vector<std::uint64_t>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
    }
    return text + "]";
}

// The tensor's shape as rows by columns: GGUF lists the fastest dimension first.
std::vector<std::uint64_t> shapeOf(const gguf::TensorInfo& t) {
    return {t.dims.rbegin(), t.dims.rend()};
}

std::optional<detail::BlockFormat> blockFormatOf(gguf::TensorType type) {
    switch (type) {
        case gguf::TensorType::q4_0:
            return detail::BlockFormat::q4_0;
        case gguf::TensorType::q4_1:
            return detail::BlockFormat::q4_1;
        case gguf::TensorType::q5_0:
            return detail::BlockFormat::q5_0;
        case gguf::TensorType::q5_1:
            return detail::BlockFormat::q5_1;
        case gguf::TensorType::q8_0:
            return detail::BlockFormat::q8_0;
        case gguf::TensorType::q2_k:
            return detail::BlockFormat::q2_k;
        case gguf::TensorType::q3_k:
            return detail::BlockFormat::q3_k;
        case gguf::TensorType::q4_k:
            return detail::BlockFormat::q4_k;
        case gguf::TensorType::q5_k:
            return detail::BlockFormat::q5_k;
        case gguf::TensorType::q6_k:
            return detail::BlockFormat::q6_k;
        default:
            return std::nullopt;
    }
}

// The safetensors dtype of the same bytes, for the plain floating-point types.
const char* plainDtype(gguf::TensorType type) {
    switch (type) {
        case gguf::TensorType::f32:
            return "F32";
        case gguf::TensorType::f16:
            return "F16";
        case gguf::TensorType::bf16:
            return "BF16";
        case gguf::TensorType::f64:
            return "F64";
        default:
            return nullptr;
    }
}

// Widens `count` values starting at value `first` of a row stored in `type`.
void widenRow(std::span<const std::uint8_t> row, gguf::TensorType type, std::span<double> out) {
    if (const char* dtype = plainDtype(type)) {
        widenValues(row, dtype, out);
        return;
    }
    const detail::BlockFormat format = *blockFormatOf(type);
    const gguf::TypeInfo info = gguf::typeInfo(type);
    for (std::uint64_t b = 0; b * info.block_values < out.size(); ++b) {
        detail::dequantizeBlock(format, row.data() + b * info.block_bytes,
                                out.data() + b * info.block_values);
    }
}

// One part of a stored tensor as a packed weight: a projection or embedding in blocks stays in
// its blocks (whole rows moved, so rotary reordering needs no widening); everything else is
// widened row by row and packed in the narrowest exact type.
detail::PackedTensor packPart(std::span<const std::uint8_t> bytes, const gguf::TensorInfo& t,
                              const Expected& e, const Part& part,
                              const std::filesystem::path& path,
                              const std::function<void(std::uint64_t, std::uint64_t)>& release) {
    const bool vector = e.shape.size() == 1;
    const std::uint64_t columns = vector ? e.shape[0] : e.shape[1];
    const gguf::TypeInfo info = gguf::typeInfo(t.type);
    const std::uint64_t row_bytes = columns / info.block_values * info.block_bytes;
    const std::optional<detail::BlockFormat> format = blockFormatOf(t.type);
    if (format && !vector) {
        std::vector<std::uint8_t> blocks(static_cast<std::size_t>(part.rows * row_bytes));
        const std::uint64_t run = detail::releaseRun(part, row_bytes);
        for (std::uint64_t r = 0; r < part.rows; ++r) {
            const std::uint8_t* from = bytes.data() + detail::storedRow(e, part, r) * row_bytes;
            std::copy(from, from + row_bytes,
                      blocks.begin() + static_cast<std::ptrdiff_t>(r * row_bytes));
            if ((r + 1) % run == 0 || r + 1 == part.rows) {
                release(part.first + r / run * run, part.first + r + 1);
            }
        }
        try {
            return detail::packBlocks(*format, {part.rows, columns}, std::move(blocks));
        } catch (const std::invalid_argument& error) {
            fail(path, "tensor " + e.name + ": " + error.what());
        }
    }
    return detail::packRows(
        e, part,
        [&](std::uint64_t source, std::span<double> into) {
            widenRow(bytes.subspan(static_cast<std::size_t>(source * row_bytes),
                                   static_cast<std::size_t>(row_bytes)),
                     t.type, into);
        },
        [&] { fail(path, "tensor " + e.name + " contains NaN/Inf"); }, release, row_bytes);
}

DType declaredDtype(gguf::TensorType type) {
    if (type == gguf::TensorType::f16) return DType::f16;
    if (type == gguf::TensorType::bf16) return DType::bf16;
    return DType::f32;
}

detail::GgufVocabulary vocabularyOf(const Reader& r) {
    detail::GgufVocabulary v;
    v.model = *r.stringValue("tokenizer.ggml.model");
    v.pre = r.stringValue("tokenizer.ggml.pre").value_or("");
    const auto strings = [&](const char* key) {
        return r.read([&] { return r.file.stringArray(key); }).value_or(std::vector<std::string>{});
    };
    v.tokens = strings("tokenizer.ggml.tokens");
    v.merges = strings("tokenizer.ggml.merges");
    v.scores = r.read([&] {
                    return r.file.floatArray("tokenizer.ggml.scores");
                }).value_or(std::vector<double>{});
    v.types = r.read([&] {
                   return r.file.integerArray("tokenizer.ggml.token_type");
               }).value_or(std::vector<std::int64_t>{});
    const auto id = [&](const char* key) -> std::optional<std::uint32_t> {
        const std::optional<std::uint64_t> value = r.unsignedValue(key);
        // -1 stored as an unsigned 32-bit id means "none", as the format's writers use it.
        if (!value || *value == std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
        if (*value > std::numeric_limits<std::uint32_t>::max()) {
            fail(r.path, std::string(key) + " " + std::to_string(*value) + " is not a token id");
        }
        return static_cast<std::uint32_t>(*value);
    };
    v.bos_id = id("tokenizer.ggml.bos_token_id");
    v.eos_id = id("tokenizer.ggml.eos_token_id");
    v.unk_id = id("tokenizer.ggml.unknown_token_id");
    v.pad_id = id("tokenizer.ggml.padding_token_id");
    v.add_bos = r.boolValue("tokenizer.ggml.add_bos_token").value_or(v.model == "llama");
    v.add_eos = r.boolValue("tokenizer.ggml.add_eos_token").value_or(false);
    v.add_space_prefix = r.boolValue("tokenizer.ggml.add_space_prefix").value_or(true);
    return v;
}

// The tokenizer the metadata describes, and what else it says about chatting and stopping.
void loadTokenizer(const Reader& r, LoadedCheckpoint& result) {
    if (const std::optional<std::string> chat = r.stringValue("tokenizer.chat_template")) {
        result.chat_template = *chat;
        result.chat_template_file = r.path.string();
    }
    if (!r.stringValue("tokenizer.ggml.model")) return;
    const detail::GgufVocabulary v = vocabularyOf(r);
    const std::string name = r.path.string();
    try {
        if (v.model == "llama") {
            result.tokenizer =
                Tokenizer::fromBytes(detail::sentencePieceModelOf(v), name, v.add_bos);
        } else if (v.model == "gpt2") {
            result.tokenizer = Tokenizer::fromJson(detail::tokenizerJsonOf(v), name);
        } else {
            fail(r.path,
                 "tokenizer.ggml.model '" + v.model + "' is not supported (llama and gpt2 are)");
        }
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        if (what.rfind(name + ":", 0) == 0) throw;
        fail(r.path, what);
    }
    if (result.tokenizer->pieceCount() > result.config.vocab_size) {
        fail(r.path, "tokenizer has " + std::to_string(result.tokenizer->pieceCount()) +
                         " tokens, more than the embedding's " +
                         std::to_string(result.config.vocab_size) + " rows");
    }
    if (v.bos_id) result.bos_token = v.tokens[*v.bos_id];
    if (v.eos_id) {
        result.eos_token = v.tokens[*v.eos_id];
        result.generation.eos_ids.push_back(*v.eos_id);
    }
    // End-of-turn and end-of-message tokens end generation too, as in the chat models that
    // name them.
    for (const char* key : {"tokenizer.ggml.eot_token_id", "tokenizer.ggml.eom_token_id"}) {
        const std::optional<std::uint64_t> id = r.unsignedValue(key);
        if (!id) continue;
        if (*id >= result.config.vocab_size) {
            fail(r.path, std::string(key) + " " + std::to_string(*id) + " is not a token id");
        }
        const auto eos = static_cast<std::uint32_t>(*id);
        auto& ids = result.generation.eos_ids;
        if (std::find(ids.begin(), ids.end(), eos) == ids.end()) ids.push_back(eos);
    }
}

}  // namespace

LoadedCheckpoint loadGguf(const std::filesystem::path& path, const CheckpointOptions& options) {
    detail::MappedFile mapped(path);
    const std::span<const std::uint8_t> bytes = mapped.bytes();
    const gguf::File file = [&] {
        try {
            return gguf::parse(bytes);
        } catch (const std::invalid_argument& e) {
            fail(path, e.what());
        }
    }();
    Reader r{file, path, ""};
    const Family& family = familyOf(r);
    r.prefix = std::string(family.architecture) + ".";

    const gguf::TensorInfo* embedding = file.tensor("token_embd.weight");
    if (embedding == nullptr) fail(path, "tensor token_embd.weight is missing");
    if (embedding->dims.size() != 2 ||
        embedding->dims[1] > std::numeric_limits<std::uint32_t>::max()) {
        fail(path, "tensor token_embd.weight has shape " + shapeText(shapeOf(*embedding)) +
                       ", expected [vocabulary, embedding_length]");
    }
    LoadedCheckpoint result;
    result.config = configOf(r, family, static_cast<std::uint32_t>(embedding->dims[1]));
    CheckpointConfig& config = result.config;
    const auto has = [&](const std::string& name) { return file.tensor(name) != nullptr; };
    config.qkv_bias = has("blk.0.attn_q.bias");
    config.output_bias = has("blk.0.attn_output.bias");
    if (config.output_bias && config.family != CheckpointFamily::llama) {
        fail(path, "tensor blk.0.attn_output.bias is not supported for " +
                       std::string(family.architecture));
    }

    // A stored classifier with the embedding's bytes is the embedding: the model is tied.
    const gguf::TensorInfo* output = file.tensor("output.weight");
    bool has_output = output != nullptr;
    if (has_output && output->type == embedding->type && output->dims == embedding->dims) {
        const auto a = gguf::tensorBytes(bytes, file, *output);
        const auto b = gguf::tensorBytes(bytes, file, *embedding);
        has_output = !std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    config.tie_word_embeddings = !has_output;

    detail::PackedWeights weights;
    weights.layers.resize(config.num_hidden_layers);
    const std::vector<Expected> expected =
        expectedTensors(config, family.half_split, has_output, weights);
    std::set<std::string> expected_names;
    for (const Expected& e : expected) expected_names.insert(e.name);
    for (const gguf::TensorInfo& t : file.tensors()) {
        if (expected_names.count(t.name) != 0) continue;
        if (t.name == "output.weight") continue;  // the tied classifier, checked above
        if (t.name == "rope_freqs.weight" || t.name == "rope_factors_long.weight" ||
            t.name == "rope_factors_short.weight") {
            fail(path, "tensor " + t.name + ": stored rotary frequency factors are not supported");
        }
        fail(path, "unexpected tensor " + t.name);
    }
    std::uint64_t total = 0;
    for (const Expected& e : expected) {
        const gguf::TensorInfo* t = file.tensor(e.name);
        if (t == nullptr) fail(path, "tensor " + e.name + " is missing");
        if (plainDtype(t->type) == nullptr && !blockFormatOf(t->type)) {
            fail(path, "tensor " + e.name + " has type " + gguf::typeInfo(t->type).name +
                           ", which is not supported");
        }
        if (shapeOf(*t) != e.shape) {
            fail(path, "tensor " + e.name + " has shape " + shapeText(shapeOf(*t)) + ", expected " +
                           shapeText(e.shape));
        }
        total += t->bytes;
    }

    std::uint64_t done = 0;
    for (const Expected& e : expected) {
        const gguf::TensorInfo& t = *file.tensor(e.name);
        const std::span<const std::uint8_t> data = gguf::tensorBytes(bytes, file, t);
        const std::uint64_t start = static_cast<std::uint64_t>(data.data() - bytes.data());
        // The reader refused empty dimensions, so a matrix has rows.
        const std::uint64_t row_bytes = e.shape.size() == 2 ? t.bytes / e.shape[0] : t.bytes;
        // The mapped pages of rows already packed are let go as packing goes, so a tensor is
        // never resident twice.
        const auto release = [&](std::uint64_t first, std::uint64_t end) {
            mapped.release(start + first * row_bytes, (end - first) * row_bytes);
        };
        for (const Part& part : e.parts) {
            *part.target = packPart(data, t, e, part, path, release);
        }
        // The tensor is packed; the mapping need not keep its pages resident.
        mapped.release(static_cast<std::uint64_t>(data.data() - bytes.data()), data.size());
        done += t.bytes;
        if (options.progress) options.progress(done, total);
    }

    TransformerSpec spec = checkpointSpec(config, declaredDtype(embedding->type));
    // The format's converter stores Gemma's norms as 1 + weight already.
    spec.normalization.unit_offset = false;
    loadTokenizer(r, result);
    std::optional<std::string> identity;
    if (result.tokenizer) identity = result.tokenizer->identity();
    result.model =
        std::make_shared<const TransformerModel>(spec, std::move(weights), std::move(identity));
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
