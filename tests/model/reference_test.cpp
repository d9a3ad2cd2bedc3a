#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "support/feature_models.hpp"
#include "support/small_model.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace tarvel_test;

namespace {

// A deliberately plain rendering of the transformer mathematics, written without the runtime's
// operators: one sequence at a time, rows as vectors, textbook formulas.
using Vector = std::vector<double>;
using Matrix = std::vector<Vector>;

Matrix rowsOf(const Tensor& t) {
    const std::size_t cols = static_cast<std::size_t>(t.shape.back());
    Matrix m;
    for (std::size_t start = 0; start < t.data.size(); start += cols) {
        m.emplace_back(t.data.begin() + static_cast<long>(start),
                       t.data.begin() + static_cast<long>(start + cols));
    }
    return m;
}

Vector times(const Matrix& weight, const Vector& x) {  // weight is [out, in]
    Vector y(weight.size(), 0.0);
    for (std::size_t o = 0; o < weight.size(); ++o) {
        for (std::size_t i = 0; i < x.size(); ++i) y[o] += weight[o][i] * x[i];
    }
    return y;
}

Vector normalised(const Vector& x, const Vector& scale, double epsilon, bool offset = false) {
    double mean_square = 0.0;
    for (double v : x) mean_square += v * v / static_cast<double>(x.size());
    Vector y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        y[i] = (offset ? 1.0 + scale[i] : scale[i]) * x[i] / std::sqrt(mean_square + epsilon);
    }
    return y;
}

// The frequency of pair k, stretched as the published rotary scalings say.
double frequency(const TransformerSpec& spec, std::size_t k) {
    const double f = std::pow(spec.position.rope_base,
                              -2.0 * static_cast<double>(k) / static_cast<double>(spec.head_dim));
    const RopeScalingSpec& s = spec.position.scaling;
    if (s.kind == RopeScalingKind::linear) return f / s.factor;
    if (s.kind != RopeScalingKind::llama3) return f;
    const double wavelength = 2.0 * std::acos(-1.0) / f;
    const double original = s.original_context;
    if (wavelength < original / s.high_freq_factor) return f;
    if (wavelength > original / s.low_freq_factor) return f / s.factor;
    const double smooth =
        (original / wavelength - s.low_freq_factor) / (s.high_freq_factor - s.low_freq_factor);
    return (1.0 - smooth) * f / s.factor + smooth * f;
}

void rotate(Vector& row, std::size_t heads, std::size_t position, const TransformerSpec& spec) {
    const std::size_t head_dim = spec.head_dim;
    for (std::size_t h = 0; h < heads; ++h) {
        for (std::size_t k = 0; k < head_dim / 2; ++k) {
            const double angle = static_cast<double>(position) * frequency(spec, k);
            double& re = row[h * head_dim + 2 * k];
            double& im = row[h * head_dim + 2 * k + 1];
            const double new_re = re * std::cos(angle) - im * std::sin(angle);
            const double new_im = re * std::sin(angle) + im * std::cos(angle);
            re = new_re;
            im = new_im;
        }
    }
}

void addTo(Vector& x, const Tensor& bias) {
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += bias.data[i];
}

// RMSNorm of each head of the row on its own.
void normaliseHeads(Vector& row, std::size_t heads, std::size_t head_dim, const Tensor& scale,
                    double epsilon, bool offset) {
    for (std::size_t h = 0; h < heads; ++h) {
        const Vector head(row.begin() + static_cast<long>(h * head_dim),
                          row.begin() + static_cast<long>((h + 1) * head_dim));
        const Vector y = normalised(head, scale.data, epsilon, offset);
        std::copy(y.begin(), y.end(), row.begin() + static_cast<long>(h * head_dim));
    }
}

double capped(double x, double cap) {
    return cap == 0.0 ? x : cap * std::tanh(x / cap);
}

Matrix referenceLogits(const TransformerSpec& spec, const TransformerWeights& w,
                       const std::vector<std::uint32_t>& tokens) {
    const std::size_t n = tokens.size(), hq = spec.query_heads, hkv = spec.kv_heads,
                      hd = spec.head_dim;
    const double eps = spec.normalization.epsilon;
    const bool offset = spec.normalization.unit_offset;
    const AttentionSpec& features = spec.attention;
    const double scalar =
        features.score_scalar != 0.0 ? features.score_scalar : static_cast<double>(hd);
    const Matrix embedding = rowsOf(w.token_embedding);
    Matrix x;
    for (std::uint32_t t : tokens) {
        Vector row = embedding[t];
        for (double& e : row) e *= spec.embedding_scale;
        x.push_back(row);
    }
    for (std::size_t l = 0; l < w.layers.size(); ++l) {
        const LayerWeights& layer = w.layers[l];
        const bool windowed =
            features.window != 0 && (features.window_layers == WindowLayers::all || l % 2 == 0);
        const Matrix wq = rowsOf(layer.query), wk = rowsOf(layer.key), wv = rowsOf(layer.value),
                     wo = rowsOf(layer.attention_output);
        Matrix q, k, v;
        for (std::size_t t = 0; t < n; ++t) {
            const Vector h = normalised(x[t], layer.attention_norm.data, eps, offset);
            q.push_back(times(wq, h));
            k.push_back(times(wk, h));
            v.push_back(times(wv, h));
            if (features.qkv_bias) {
                addTo(q[t], layer.query_bias);
                addTo(k[t], layer.key_bias);
                addTo(v[t], layer.value_bias);
            }
            if (features.qk_norm) {
                normaliseHeads(q[t], hq, hd, layer.query_norm, eps, offset);
                normaliseHeads(k[t], hkv, hd, layer.key_norm, eps, offset);
            }
            rotate(q[t], hq, t, spec);
            rotate(k[t], hkv, t, spec);
        }
        Matrix update;
        for (std::size_t i = 0; i < n; ++i) {
            Vector mixed(hq * hd, 0.0);
            // Positions before the window's first are not seen.
            const std::size_t first =
                windowed && i + 1 > features.window ? i + 1 - features.window : 0;
            for (std::size_t h = 0; h < hq; ++h) {
                const std::size_t g = h * hkv / hq;  // contiguous groups of query heads
                Vector weight(i + 1);
                for (std::size_t j = first; j <= i; ++j) {
                    double dot = 0.0;
                    for (std::size_t d = 0; d < hd; ++d) dot += q[i][h * hd + d] * k[j][g * hd + d];
                    weight[j] = capped(dot / std::sqrt(scalar), features.score_softcap);
                }
                const double top =
                    *std::max_element(weight.begin() + static_cast<long>(first), weight.end());
                double total = 0.0;
                for (std::size_t j = first; j <= i; ++j)
                    total += (weight[j] = std::exp(weight[j] - top));
                for (std::size_t j = first; j <= i; ++j) {
                    for (std::size_t d = 0; d < hd; ++d) {
                        mixed[h * hd + d] += weight[j] / total * v[j][g * hd + d];
                    }
                }
            }
            Vector projected = times(wo, mixed);
            if (features.output_bias) addTo(projected, layer.output_bias);
            if (spec.normalization.post_attention) {
                projected = normalised(projected, layer.post_attention_norm.data, eps, offset);
            }
            update.push_back(projected);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < update[i].size(); ++c) x[i][c] += update[i][c];
        }
        const Matrix gate = rowsOf(layer.ffn_gate), up = rowsOf(layer.ffn_up),
                     down = rowsOf(layer.ffn_down);
        for (std::size_t t = 0; t < n; ++t) {
            const Vector h = normalised(x[t], layer.ffn_norm.data, eps, offset);
            const Vector u = times(up, h), g = times(gate, h);
            Vector a(u.size());
            const double c = std::sqrt(2.0 / std::acos(-1.0));
            for (std::size_t e = 0; e < u.size(); ++e) {
                switch (spec.feed_forward) {
                    case FeedForwardKind::swiglu:
                        a[e] = g[e] / (1.0 + std::exp(-g[e])) * u[e];
                        break;
                    case FeedForwardKind::geglu_tanh:
                        a[e] = 0.5 * g[e] *
                               (1.0 + std::tanh(c * (g[e] + 0.044715 * g[e] * g[e] * g[e]))) * u[e];
                        break;
                    default:
                        a[e] = 0.5 * u[e] * (1.0 + std::erf(u[e] / std::sqrt(2.0)));
                }
            }
            Vector y = times(down, a);
            if (spec.normalization.post_feed_forward) {
                y = normalised(y, layer.post_ffn_norm.data, eps, offset);
            }
            for (std::size_t col = 0; col < y.size(); ++col) x[t][col] += y[col];
        }
    }
    const Matrix out = rowsOf(spec.tied_embeddings ? w.token_embedding : w.output_embedding);
    Matrix logits;
    for (std::size_t t = 0; t < n; ++t) {
        Vector row = times(out, normalised(x[t], w.final_norm.data, eps, offset));
        for (double& e : row) e = capped(e, spec.logit_softcap);
        logits.push_back(row);
    }
    return logits;
}

struct Variant {
    std::uint32_t kv_heads;
    FeedForwardKind feed_forward;
    bool tied;
};

TEST(TransformerForward, AgreesWithAPlainReference) {
    const Variant variants[] = {
        {4, FeedForwardKind::swiglu, true}, {2, FeedForwardKind::swiglu, false},
        {1, FeedForwardKind::gelu, true},   {4, FeedForwardKind::gelu, false},
        {2, FeedForwardKind::gelu, true},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(::testing::Message()
                     << "kv_heads " << variant.kv_heads << " kind "
                     << static_cast<int>(variant.feed_forward) << " tied " << variant.tied);
        ModelShape shape;
        shape.vocabulary = 13;
        shape.query_heads = 4;
        shape.kv_heads = variant.kv_heads;
        shape.head_dim = 4;
        shape.ffn_dim = 24;
        shape.feed_forward = variant.feed_forward;
        shape.tied_embeddings = variant.tied;
        TransformerSpec spec = makeSpec(shape);
        spec.position.rope_base = 500.0;
        spec.normalization.epsilon = 1e-3;
        const TransformerWeights weights = makeWeights(shape, 10 + variant.kv_heads);

        const std::uint64_t width = 6;
        const std::vector<std::vector<std::uint32_t>> sequences = {
            {3, 12, 0, 7, 7, 1}, {5, 2, 9, 11}, {8}};
        TokenBatch batch{3, width, {}, {}};
        for (const auto& sequence : sequences) {
            for (std::uint64_t t = 0; t < width; ++t) {
                batch.tokens.push_back(t < sequence.size() ? sequence[t] : 0);
            }
            batch.lengths.push_back(sequence.size());
        }
        const Tensor logits = transformerForward(spec, weights, batch, ForwardOptions{});
        for (std::uint64_t b = 0; b < 3; ++b) {
            const Matrix expected = referenceLogits(spec, weights, sequences[b]);
            for (std::uint64_t t = 0; t < width; ++t) {
                double scale = 0.0;
                if (t < expected.size()) {
                    for (double v : expected[t]) scale = std::max(scale, std::abs(v));
                }
                for (std::uint64_t v = 0; v < 13; ++v) {
                    const double want = t < expected.size() ? expected[t][v] : 0.0;
                    EXPECT_NEAR(at(logits, {b, t, v}), want, 1e-12 * scale)
                        << "b " << b << " t " << t << " v " << v;
                }
            }
        }
    }
}

}  // namespace

namespace {

double largest(const Vector& row) {
    double m = 0.0;
    for (const double x : row) m = std::max(m, std::abs(x));
    return m;
}

// Each family's features, in both storage forms of the weights: the runtime agrees with the
// plain rendering within 1e-12 of each row's largest logit.
TEST(TransformerForward, FeaturesAgreeWithAPlainReference) {
    const std::vector<std::uint32_t> tokens = {3, 17, 0, 22, 9, 9, 4, 12};
    for (const FeatureModel& m : featureModels()) {
        SCOPED_TRACE(m.name);
        const TransformerWeights weights = featureWeights(m.spec, 7);
        const Matrix expected = referenceLogits(m.spec, weights, tokens);
        const Tensor full = transformerForward(m.spec, weights, singleSequence(tokens), {});
        const TransformerModel model(m.spec, weights);
        const Tensor packed = model.forward(singleSequence(tokens));
        EXPECT_EQ(packed.data, full.data);
        // In a padded batch each sequence sees its own positions only.
        std::vector<std::uint32_t> both = tokens;
        both.insert(both.end(), {5, 1, 20, 8, 3, 0, 0, 0});
        const Tensor padded =
            transformerForward(m.spec, weights, TokenBatch{2, 8, both, {8, 5}}, {});
        const Matrix second = referenceLogits(m.spec, weights, {5, 1, 20, 8, 3});
        for (std::uint64_t t = 0; t < 8; ++t) {
            for (std::uint64_t v = 0; v < m.spec.vocabulary; ++v) {
                EXPECT_EQ(at(padded, {0, t, v}), at(full, {0, t, v}));
                const double want = t < 5 ? second[t][v] : 0.0;
                EXPECT_NEAR(at(padded, {1, t, v}), want,
                            1e-12 * (t < 5 ? largest(second[t]) : 0.0));
            }
        }
        for (std::uint64_t t = 0; t < tokens.size(); ++t) {
            const double scale = largest(expected[t]);
            for (std::uint64_t v = 0; v < m.spec.vocabulary; ++v) {
                EXPECT_NEAR(at(full, {0, t, v}), expected[t][v], 1e-12 * scale)
                    << "t " << t << " v " << v;
            }
        }
    }
}

// Switching any one feature off moves the logits far beyond rounding: each of them is seen.
TEST(TransformerForward, EveryFeatureChangesTheLogits) {
    using Change = void (*)(TransformerSpec&);
    const std::vector<std::pair<const char*, Change>> features = {
        {"scaling", [](TransformerSpec& s) { s.position.scaling = {}; }},
        {"qkv bias", [](TransformerSpec& s) { s.attention.qkv_bias = false; }},
        {"output bias", [](TransformerSpec& s) { s.attention.output_bias = false; }},
        {"qk norm", [](TransformerSpec& s) { s.attention.qk_norm = false; }},
        {"window", [](TransformerSpec& s) { s.attention.window = 0; }},
        {"window layers",
         [](TransformerSpec& s) { s.attention.window_layers = WindowLayers::all; }},
        {"score scalar", [](TransformerSpec& s) { s.attention.score_scalar = 0.0; }},
        {"score softcap", [](TransformerSpec& s) { s.attention.score_softcap = 0.0; }},
        {"unit offset", [](TransformerSpec& s) { s.normalization.unit_offset = false; }},
        {"post attention", [](TransformerSpec& s) { s.normalization.post_attention = false; }},
        {"post feed-forward",
         [](TransformerSpec& s) { s.normalization.post_feed_forward = false; }},
        {"geglu", [](TransformerSpec& s) { s.feed_forward = FeedForwardKind::swiglu; }},
        {"embedding scale", [](TransformerSpec& s) { s.embedding_scale = 1.0; }},
        {"logit softcap", [](TransformerSpec& s) { s.logit_softcap = 0.0; }},
    };
    const std::vector<std::uint32_t> tokens = {3, 17, 0, 22, 9, 9, 4, 12};
    std::set<std::string> seen;
    for (const FeatureModel& m : featureModels()) {
        const TransformerWeights weights = featureWeights(m.spec, 7);
        const Tensor with = transformerForward(m.spec, weights, singleSequence(tokens), {});
        for (const auto& [name, change] : features) {
            TransformerSpec off = m.spec;
            change(off);
            if (canonicalSpecText(off) == canonicalSpecText(m.spec)) continue;  // not used here
            SCOPED_TRACE(m.name + " without " + name);
            const Tensor without = transformerForward(off, weights, singleSequence(tokens), {});
            double difference = 0.0;
            for (std::size_t e = 0; e < with.data.size(); ++e) {
                difference = std::max(difference, std::abs(with.data[e] - without.data[e]));
            }
            EXPECT_GT(difference, 1e-6);
            seen.insert(name);
        }
    }
    EXPECT_EQ(seen.size(), features.size());
}

}  // namespace
