#include "tarvel/spec/fingerprint.hpp"

#include <array>
#include <charconv>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "tarvel/core/bytes.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

constexpr std::string_view domain_tag = "tarvel-transformer-spec-v1;";

std::string unsignedDecimal(std::uint64_t value) {
    return std::to_string(value);
}

// %.17g in the classic locale. to_chars never consults the locale, so a process that has
// switched to a comma decimal separator still gets the same text.
std::string realNumber(std::string_view key, double value) {
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value,
                                      std::chars_format::general, 17);
    // 64 characters always hold a 17-digit general rendering. Should that ever fail, no text
    // may stand in for the value: a placeholder would give two different specs one identity.
    if (result.ec != std::errc{}) {
        throw std::invalid_argument("canonical spec text cannot write " + std::string(key));
    }
    return std::string(text.data(), result.ptr);
}

// len:key=len:value; so that any byte may appear in a value without ambiguity.
void appendField(std::string& text, std::string_view key, std::string_view value) {
    text += unsignedDecimal(key.size());
    text += ':';
    text += key;
    text += '=';
    text += unsignedDecimal(value.size());
    text += ':';
    text += value;
    text += ';';
}

template <typename Enum>
std::string code(Enum value) {
    return unsignedDecimal(static_cast<std::uint8_t>(value));
}

// The block's optional features, each only when it is switched on, after every field above: a
// spec that uses none of them keeps the text it always had, and one that uses any names each of
// them with its parameters. Their keys differ from every earlier key, so no text of one kind
// can be read as the other.
void appendFeatures(std::string& text, const TransformerSpec& spec) {
    const auto flag = [&](std::string_view key, bool on) {
        if (on) appendField(text, key, "1");
    };
    const auto real = [&](std::string_view key, double value, double off) {
        if (value != off) appendField(text, key, realNumber(key, value));
    };
    const RopeScalingSpec& scaling = spec.position.scaling;
    if (scaling.kind != RopeScalingKind::none) {
        appendField(text, "rope_scaling_kind", code(scaling.kind));
        appendField(text, "rope_scaling_factor", realNumber("rope_scaling_factor", scaling.factor));
        appendField(text, "rope_scaling_low_freq_factor",
                    realNumber("rope_scaling_low_freq_factor", scaling.low_freq_factor));
        appendField(text, "rope_scaling_high_freq_factor",
                    realNumber("rope_scaling_high_freq_factor", scaling.high_freq_factor));
        appendField(text, "rope_scaling_original_context",
                    unsignedDecimal(scaling.original_context));
    }
    const AttentionSpec& attention = spec.attention;
    flag("attention_qkv_bias", attention.qkv_bias);
    flag("attention_output_bias", attention.output_bias);
    flag("attention_qk_norm", attention.qk_norm);
    if (attention.window != 0) {
        appendField(text, "attention_window", unsignedDecimal(attention.window));
        appendField(text, "attention_window_layers", code(attention.window_layers));
    }
    real("attention_score_scalar", attention.score_scalar, 0.0);
    real("attention_score_softcap", attention.score_softcap, 0.0);
    flag("normalization_unit_offset", spec.normalization.unit_offset);
    flag("normalization_post_attention", spec.normalization.post_attention);
    flag("normalization_post_feed_forward", spec.normalization.post_feed_forward);
    real("embedding_scale", spec.embedding_scale, 1.0);
    real("logit_softcap", spec.logit_softcap, 0.0);
}

}  // namespace

std::string canonicalSpecText(const TransformerSpec& spec) {
    std::string text(domain_tag);
    appendField(text, "vocabulary", unsignedDecimal(spec.vocabulary));
    appendField(text, "context", unsignedDecimal(spec.context));
    appendField(text, "layers", unsignedDecimal(spec.layers));
    appendField(text, "model_dim", unsignedDecimal(spec.model_dim));
    appendField(text, "ffn_dim", unsignedDecimal(spec.ffn_dim));
    appendField(text, "query_heads", unsignedDecimal(spec.query_heads));
    appendField(text, "kv_heads", unsignedDecimal(spec.kv_heads));
    appendField(text, "head_dim", unsignedDecimal(spec.head_dim));
    appendField(text, "position_kind", code(spec.position.kind));
    appendField(text, "rope_base", realNumber("rope_base", spec.position.rope_base));
    appendField(text, "normalization_kind", code(spec.normalization.kind));
    appendField(text, "normalization_epsilon",
                realNumber("normalization_epsilon", spec.normalization.epsilon));
    appendField(text, "feed_forward", code(spec.feed_forward));
    appendField(text, "weights_dtype", code(spec.precision.weights));
    appendField(text, "activations_dtype", code(spec.precision.activations));
    appendField(text, "kv_cache_dtype", code(spec.precision.kv_cache));
    appendField(text, "tied_embeddings", spec.tied_embeddings ? "1" : "0");
    appendField(text, "port_count", unsignedDecimal(spec.ports.size()));
    for (const PortSpec& port : spec.ports) {
        appendField(text, "port_name", port.name);
        appendField(text, "port_direction", code(port.direction));
        appendField(text, "port_kind", code(port.kind));
        appendField(text, "port_width", unsignedDecimal(port.width));
        appendField(text, "port_schema", port.schema);
    }
    appendFeatures(text, spec);
    return text;
}

std::uint64_t specFingerprint(const TransformerSpec& spec) {
    const std::string text = canonicalSpecText(spec);
    return checksum64(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
