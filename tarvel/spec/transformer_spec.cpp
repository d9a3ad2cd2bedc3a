#include "tarvel/spec/transformer_spec.hpp"

#include <cmath>
#include <limits>
#include <set>

#include "tarvel/core/detail/checked_arithmetic.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

bool finitePositive(double x) {
    return std::isfinite(x) && x > 0.0;
}

// Zero switches the feature off; anything else must be a usable positive number.
bool offOrFinitePositive(double x) {
    return x == 0.0 || finitePositive(x);
}

void checkFeatures(const TransformerSpec& spec, std::vector<SpecIssue>& issues) {
    auto add = [&](const char* path, const char* message) { issues.push_back({path, message}); };
    const char* positive = "must be finite and greater than zero";
    const RopeScalingSpec& scaling = spec.position.scaling;
    if (static_cast<std::uint8_t>(scaling.kind) >= 3) {
        add("position.scaling.kind", "unknown RoPE scaling");
    }
    if (scaling.kind == RopeScalingKind::linear || scaling.kind == RopeScalingKind::llama3) {
        if (!finitePositive(scaling.factor)) add("position.scaling.factor", positive);
    }
    if (scaling.kind == RopeScalingKind::llama3) {
        if (!finitePositive(scaling.low_freq_factor)) {
            add("position.scaling.low_freq_factor", positive);
        }
        // The blend divides by the difference of the two factors.
        if (!(std::isfinite(scaling.high_freq_factor) &&
              scaling.high_freq_factor > scaling.low_freq_factor)) {
            add("position.scaling.high_freq_factor",
                "must be finite and greater than low_freq_factor");
        }
        if (scaling.original_context == 0) {
            add("position.scaling.original_context", "must be greater than zero");
        }
    }
    const char* off_or_positive = "must be zero or finite and greater than zero";
    if (static_cast<std::uint8_t>(spec.attention.window_layers) >= 2) {
        add("attention.window_layers", "unknown window layers");
    }
    if (!offOrFinitePositive(spec.attention.score_scalar)) {
        add("attention.score_scalar", off_or_positive);
    }
    if (!offOrFinitePositive(spec.attention.score_softcap)) {
        add("attention.score_softcap", off_or_positive);
    }
    if (!finitePositive(spec.embedding_scale)) add("embedding_scale", positive);
    if (!offOrFinitePositive(spec.logit_softcap)) add("logit_softcap", off_or_positive);
}

struct CheckedU64 {
    std::optional<std::uint64_t> value;

    // The parameter count is nothing at all once any step of it overflows.
    CheckedU64 times(std::uint64_t b) const {
        return value ? CheckedU64{detail::checkedProduct(*value, b)} : CheckedU64{};
    }
    CheckedU64 times(CheckedU64 b) const { return b.value ? times(*b.value) : CheckedU64{}; }
    CheckedU64 plus(std::uint64_t b) const {
        return value ? CheckedU64{detail::checkedSum(*value, b)} : CheckedU64{};
    }
    CheckedU64 plus(CheckedU64 b) const { return b.value ? plus(*b.value) : CheckedU64{}; }
};

void checkPorts(const TransformerSpec& spec, std::vector<SpecIssue>& issues, bool& has_input,
                bool& has_output) {
    std::set<std::string> names;
    for (std::size_t i = 0; i < spec.ports.size(); ++i) {
        const PortSpec& port = spec.ports[i];
        const std::string prefix = "ports[" + std::to_string(i) + "]";
        auto add = [&](const char* suffix, const char* message) {
            issues.push_back({prefix + suffix, message});
        };
        if (port.name.empty()) {
            add(".name", "must not be empty");
        } else if (!names.insert(port.name).second) {
            add(".name", "must be unique");
        }
        const auto direction = static_cast<std::uint8_t>(port.direction);
        const auto kind = static_cast<std::uint8_t>(port.kind);
        if (direction >= 2) add(".direction", "unknown direction");
        if (kind >= 3) add(".kind", "unknown port kind");
        if (port.width == 0) add(".width", "must be greater than zero");
        if (port.direction == PortDirection::input) has_input = true;
        if (port.direction == PortDirection::output) has_output = true;
        if (port.kind == PortKind::token_ids && port.width != 1) {
            add(".width", "token_ids width must be one");
        }
        if (port.kind == PortKind::embedding && port.width != spec.model_dim) {
            add(".width", "embedding width must equal model_dim");
        }
        if (port.kind == PortKind::embedding && port.schema.empty()) {
            add(".schema", "embedding ports require a schema");
        }
        if (port.kind == PortKind::logits && port.width != spec.vocabulary) {
            add(".width", "logits width must equal vocabulary");
        }
        if (port.kind == PortKind::token_ids && port.direction != PortDirection::input) {
            add(".direction", "token_ids must be an input");
        }
        if (port.kind == PortKind::logits && port.direction != PortDirection::output) {
            add(".direction", "logits must be an output");
        }
    }
}

}  // namespace

std::vector<SpecIssue> validateSpec(const TransformerSpec& spec) {
    std::vector<SpecIssue> issues;
    auto add = [&](const char* path, const char* message) { issues.push_back({path, message}); };
    const char* positive = "must be greater than zero";
    if (spec.vocabulary == 0) add("vocabulary", positive);
    if (spec.context == 0) add("context", positive);
    if (spec.layers == 0) add("layers", positive);
    if (spec.model_dim == 0) add("model_dim", positive);
    if (spec.ffn_dim == 0) add("ffn_dim", positive);
    if (spec.query_heads == 0) add("query_heads", positive);
    if (spec.kv_heads == 0) add("kv_heads", positive);
    if (spec.head_dim == 0) add("head_dim", positive);
    if (spec.kv_heads > spec.query_heads) add("kv_heads", "must not exceed query_heads");
    if (spec.kv_heads != 0 && spec.query_heads % spec.kv_heads != 0) {
        add("kv_heads", "must divide query_heads exactly");
    }
    if (spec.position.kind != PositionKind::rope) {
        add("position.kind", "unknown position encoding");
    } else if (spec.head_dim % 2 != 0) {
        add("head_dim", "must be even for RoPE");
    }
    if (!finitePositive(spec.position.rope_base)) {
        add("position.rope_base", "must be finite and greater than zero");
    }
    if (spec.normalization.kind != NormalizationKind::rms_norm) {
        add("normalization.kind", "unknown normalization");
    }
    if (!finitePositive(spec.normalization.epsilon)) {
        add("normalization.epsilon", "must be finite and greater than zero");
    }
    if (static_cast<std::uint8_t>(spec.feed_forward) >= 3) {
        add("feed_forward", "unknown feed-forward kind");
    }
    if (static_cast<std::uint8_t>(spec.precision.weights) >= 3) {
        add("precision.weights", "unknown dtype");
    }
    if (static_cast<std::uint8_t>(spec.precision.activations) >= 3) {
        add("precision.activations", "unknown dtype");
    }
    if (static_cast<std::uint8_t>(spec.precision.kv_cache) >= 3) {
        add("precision.kv_cache", "unknown dtype");
    }
    checkFeatures(spec, issues);
    bool has_input = false;
    bool has_output = false;
    checkPorts(spec, issues, has_input, has_output);
    if (!has_input) add("ports", "at least one input port is required");
    if (!has_output) add("ports", "at least one output port is required");
    if (!parameterCount(spec)) add("dimensions", "parameter count overflows uint64");
    return issues;
}

std::optional<std::uint64_t> parameterCount(const TransformerSpec& spec) {
    const std::uint64_t d = spec.model_dim;
    const CheckedU64 embedding = CheckedU64{std::uint64_t{spec.vocabulary}}.times(d);
    CheckedU64 total = embedding;
    if (!spec.tied_embeddings) total = total.plus(embedding);
    const CheckedU64 q = CheckedU64{std::uint64_t{spec.query_heads}}.times(spec.head_dim);
    const CheckedU64 kv = CheckedU64{std::uint64_t{spec.kv_heads}}.times(spec.head_dim);
    const CheckedU64 f = CheckedU64{d}.times(spec.ffn_dim);
    // The gated kinds have a gate projection beside the up and down projections.
    const bool gated = spec.feed_forward == FeedForwardKind::swiglu ||
                       spec.feed_forward == FeedForwardKind::geglu_tanh;
    const std::uint64_t m = gated ? 3 : 2;
    // The output projection is [model_dim, q]; q = model_dim unless head_dim is set apart.
    const CheckedU64 attention =
        CheckedU64{d}.times(q.plus(kv).plus(kv)).plus(q.times(CheckedU64{d}));
    CheckedU64 per_layer = attention.plus(f.times(m)).plus(CheckedU64{2}.times(d));
    const AttentionSpec& a = spec.attention;
    if (a.qkv_bias) per_layer = per_layer.plus(q.plus(kv).plus(kv));
    if (a.output_bias) per_layer = per_layer.plus(d);
    if (a.qk_norm) per_layer = per_layer.plus(CheckedU64{2}.times(spec.head_dim));
    if (spec.normalization.post_attention) per_layer = per_layer.plus(d);
    if (spec.normalization.post_feed_forward) per_layer = per_layer.plus(d);
    total = total.plus(per_layer.times(spec.layers)).plus(d);
    return total.value;
}

std::vector<PortSpec> standardPorts(std::uint32_t vocabulary) {
    return {PortSpec{"tokens", PortDirection::input, PortKind::token_ids, 1, ""},
            PortSpec{"logits", PortDirection::output, PortKind::logits, vocabulary, ""}};
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
