#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace tarvel_fuzz {

using namespace Nuvexis::Core::Tarvel;

// Reads the input a byte at a time; an exhausted input reads as zeros.
class ByteSource {
  public:
    ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return next_ == size_; }
    std::uint8_t byte() { return empty() ? 0 : data_[next_++]; }
    // lo + (byte mod count), so a seed writes value - lo.
    std::uint32_t pick(std::uint32_t lo, std::uint32_t count) { return lo + byte() % count; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t next_ = 0;
};

inline constexpr double rope_bases[8] = {10000.0, 1.0, 2.0, 0.5, 1e6, 100.0, 1e-3, 3.0};
inline constexpr double epsilons[8] = {1e-5, 1e-6, 1e-2, 1.0, 1e-300, 5e-324, 0.25, 1e3};

// A weight shape gone wrong, chosen by the input; `none` keeps every shape right.
enum class Misshape : std::uint8_t {
    missing_layer,
    token_embedding,
    final_norm,
    untied_without_output,
    query,
    ffn_gate,
    attention_output,
    tied_with_output,  // harmless: written to the artifact, never read
    none,
};

// One differential case: a model of small dimensions, its weights and a token sequence fed in
// chunks, with the chunks before which a fork and a snapshot restore are taken.
struct DifferentialCase {
    TransformerSpec spec;
    TransformerWeights weights;
    Misshape misshape = Misshape::none;
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> chunks;  // widths summing to the token count
    std::size_t fork_at = 0;
    std::size_t restore_at = 0;
    std::uint64_t tag = 1;
};

// Every dimension is between 1 and 8, the vocabulary up to 16 and the context up to 12. Byte
// layout, in order: vocabulary, context, layers, head dim (even below 240), query heads (at most
// 8 / head dim), KV heads (a divisor of the query heads below 240, anything above), model dim
// (heads * head dim below 240), ffn dim, flags (bit 0 swiglu, bit 1 tied, bits 2-3 KV dtype, bits
// 4-6 RoPE base; 0xff an unknown feed-forward code), epsilon, misshape (from 248 on), sequence
// length, the ids (from 248 on beyond the vocabulary), chunk widths, fork chunk, restore chunk,
// tag, then one byte per weight value in artifact order; weights past the end of the input follow a
// fixed rule.
inline DifferentialCase decodeCase(const std::uint8_t* data, std::size_t size) {
    ByteSource in(data, size);
    DifferentialCase c;
    TransformerSpec& spec = c.spec;
    spec.vocabulary = in.pick(1, 16);
    spec.context = in.pick(1, 12);
    spec.layers = in.pick(1, 8);
    std::uint8_t b = in.byte();
    spec.head_dim = b < 240 ? 2u * (1u + b % 4u) : 1u + b % 8u;
    spec.query_heads = in.pick(1, 8 / spec.head_dim);  // so that model_dim stays within 8
    std::vector<std::uint32_t> divisors;
    for (std::uint32_t k = 1; k <= spec.query_heads; ++k) {
        if (spec.query_heads % k == 0) divisors.push_back(k);
    }
    b = in.byte();
    spec.kv_heads = b < 240 ? divisors[b % divisors.size()] : 1u + b % 8u;
    b = in.byte();
    spec.model_dim = b < 240 ? spec.query_heads * spec.head_dim : 1u + b % 8u;
    spec.ffn_dim = in.pick(1, 8);
    b = in.byte();
    spec.feed_forward =
        b == 0xff ? static_cast<FeedForwardKind>(3) : static_cast<FeedForwardKind>(b & 1);
    spec.tied_embeddings = (b & 2) != 0;
    spec.precision.kv_cache = static_cast<DType>(((b >> 2) & 3) % 3);
    spec.position.rope_base = rope_bases[(b >> 4) & 7];
    spec.normalization.epsilon = epsilons[in.byte() % 8];
    spec.ports = {
        PortSpec{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
        PortSpec{"logits", PortDirection::output, PortKind::logits, spec.vocabulary, "logits/1"},
    };
    b = in.byte();
    c.misshape = b >= 248 ? static_cast<Misshape>(b - 248) : Misshape::none;

    const std::uint32_t length = in.pick(1, spec.context);
    for (std::uint32_t t = 0; t < length; ++t) {
        b = in.byte();
        c.tokens.push_back(b < 248 ? b % spec.vocabulary : spec.vocabulary + (b - 248u));
    }
    for (std::uint64_t fed = 0; fed < length;) {
        const std::uint64_t width = in.pick(1, static_cast<std::uint32_t>(length - fed));
        c.chunks.push_back(width);
        fed += width;
    }
    c.fork_at = in.byte();
    c.restore_at = in.byte();
    c.tag = in.byte();

    // Weights in artifact order, each from one byte: small values mostly, and a few that push
    // the checks (large, huge, NaN).
    std::uint64_t index = 0;
    auto fill = [&](std::vector<std::uint64_t> shape, bool norm) {
        Tensor t(std::move(shape), 0.0, true);
        for (double& value : t.data) {
            const double shift = norm ? 1.0 : 0.0;
            ++index;
            if (in.empty()) {
                value = shift + 0.17 * std::sin(1.0 + 0.37 * static_cast<double>(index));
                continue;
            }
            const std::uint8_t v = in.byte();
            constexpr double specials[6] = {
                4.0, -4.0, 1e3, 1e150, -1e150, std::numeric_limits<double>::quiet_NaN()};
            value = v < 250 ? shift + (v - 125) / 100.0 : specials[v - 250];
        }
        return t;
    };
    const std::uint64_t v = spec.vocabulary;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    const std::uint64_t q = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kv = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const Misshape m = c.misshape;
    TransformerWeights& w = c.weights;
    w.token_embedding = fill({m == Misshape::token_embedding ? v + 1 : v, d}, false);
    const std::uint32_t layers = m == Misshape::missing_layer ? spec.layers - 1 : spec.layers;
    for (std::uint32_t l = 0; l < layers; ++l) {
        LayerWeights layer;
        layer.attention_norm = fill({d}, true);
        layer.query = fill(m == Misshape::query ? std::vector<std::uint64_t>{d, q}
                                                : std::vector<std::uint64_t>{q, d},
                           false);
        layer.key = fill({kv, d}, false);
        layer.value = fill({kv, d}, false);
        layer.attention_output =
            fill(m == Misshape::attention_output ? std::vector<std::uint64_t>{q, d}
                                                 : std::vector<std::uint64_t>{d, q},
                 false);
        layer.ffn_norm = fill({d}, true);
        layer.ffn_gate = fill({m == Misshape::ffn_gate ? f + 1 : f, d}, false);
        layer.ffn_up = fill({f, d}, false);
        layer.ffn_down = fill({d, f}, false);
        w.layers.push_back(std::move(layer));
    }
    w.final_norm = fill({m == Misshape::final_norm ? d + 1 : d}, true);
    if (m == Misshape::untied_without_output) spec.tied_embeddings = false;
    if ((!spec.tied_embeddings && m != Misshape::untied_without_output) ||
        m == Misshape::tied_with_output) {
        w.output_embedding = fill({v, d}, false);
    }
    return c;
}

// What a seed chooses; encodeCase writes the bytes that decodeCase reads back as these.
struct CaseChoice {
    std::uint32_t vocabulary = 11;
    std::uint32_t context = 8;
    std::uint32_t layers = 2;
    std::uint32_t query_heads = 2;  // at most 8 / head_dim
    std::uint32_t kv_heads = 2;     // a divisor of query_heads
    std::uint32_t head_dim = 2;     // even, at most 8
    std::uint32_t ffn_dim = 7;
    bool swiglu = true;
    bool tied = true;
    std::uint8_t kv_dtype = 0;
    std::uint8_t rope_base = 0;  // index into rope_bases
    std::uint8_t epsilon = 0;    // index into epsilons
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint32_t> chunks;
    std::uint8_t fork_at = 0;
    std::uint8_t restore_at = 1;
    std::uint8_t tag = 1;
    std::vector<std::uint8_t> weights;  // empty: the fixed rule
};

inline std::vector<std::uint8_t> encodeCase(const CaseChoice& c) {
    std::uint8_t kv_index = 0;
    for (std::uint32_t k = 1; k < c.kv_heads; ++k) {
        if (c.query_heads % k == 0) ++kv_index;
    }
    std::vector<std::uint8_t> bytes{
        static_cast<std::uint8_t>(c.vocabulary - 1),
        static_cast<std::uint8_t>(c.context - 1),
        static_cast<std::uint8_t>(c.layers - 1),
        static_cast<std::uint8_t>(c.head_dim / 2 - 1),
        static_cast<std::uint8_t>(c.query_heads - 1),
        kv_index,
        0,
        static_cast<std::uint8_t>(c.ffn_dim - 1),
        static_cast<std::uint8_t>((c.swiglu ? 1 : 0) | (c.tied ? 2 : 0) | (c.kv_dtype << 2) |
                                  (c.rope_base << 4)),
        c.epsilon,
        0,
        static_cast<std::uint8_t>(c.tokens.size() - 1),
    };
    for (const std::uint32_t id : c.tokens) bytes.push_back(static_cast<std::uint8_t>(id));
    for (const std::uint32_t width : c.chunks)
        bytes.push_back(static_cast<std::uint8_t>(width - 1));
    bytes.insert(bytes.end(), {c.fork_at, c.restore_at, c.tag});
    bytes.insert(bytes.end(), c.weights.begin(), c.weights.end());
    return bytes;
}

}  // namespace tarvel_fuzz
