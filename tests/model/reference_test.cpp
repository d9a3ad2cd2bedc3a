#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

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

Vector normalised(const Vector& x, const Vector& scale, double epsilon) {
    double mean_square = 0.0;
    for (double v : x) mean_square += v * v / static_cast<double>(x.size());
    Vector y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        y[i] = scale[i] * x[i] / std::sqrt(mean_square + epsilon);
    }
    return y;
}

void rotate(Vector& row, std::size_t heads, std::size_t head_dim, std::size_t position,
            double base) {
    for (std::size_t h = 0; h < heads; ++h) {
        for (std::size_t k = 0; k < head_dim / 2; ++k) {
            const double angle =
                static_cast<double>(position) *
                std::pow(base, -2.0 * static_cast<double>(k) / static_cast<double>(head_dim));
            double& re = row[h * head_dim + 2 * k];
            double& im = row[h * head_dim + 2 * k + 1];
            const double new_re = re * std::cos(angle) - im * std::sin(angle);
            const double new_im = re * std::sin(angle) + im * std::cos(angle);
            re = new_re;
            im = new_im;
        }
    }
}

Matrix referenceLogits(const TransformerSpec& spec, const TransformerWeights& w,
                       const std::vector<std::uint32_t>& tokens) {
    const std::size_t n = tokens.size(), hq = spec.query_heads, hkv = spec.kv_heads,
                      hd = spec.head_dim;
    const double eps = spec.normalization.epsilon;
    const Matrix embedding = rowsOf(w.token_embedding);
    Matrix x;
    for (std::uint32_t t : tokens) x.push_back(embedding[t]);
    for (const LayerWeights& layer : w.layers) {
        const Matrix wq = rowsOf(layer.query), wk = rowsOf(layer.key), wv = rowsOf(layer.value),
                     wo = rowsOf(layer.attention_output);
        Matrix q, k, v;
        for (std::size_t t = 0; t < n; ++t) {
            const Vector h = normalised(x[t], layer.attention_norm.data, eps);
            q.push_back(times(wq, h));
            k.push_back(times(wk, h));
            v.push_back(times(wv, h));
            rotate(q[t], hq, hd, t, spec.position.rope_base);
            rotate(k[t], hkv, hd, t, spec.position.rope_base);
        }
        for (std::size_t i = 0; i < n; ++i) {
            Vector mixed(hq * hd, 0.0);
            for (std::size_t h = 0; h < hq; ++h) {
                const std::size_t g = h * hkv / hq;  // contiguous groups of query heads
                Vector weight(i + 1);
                for (std::size_t j = 0; j <= i; ++j) {
                    double dot = 0.0;
                    for (std::size_t d = 0; d < hd; ++d) dot += q[i][h * hd + d] * k[j][g * hd + d];
                    weight[j] = dot / std::sqrt(static_cast<double>(hd));
                }
                const double top = *std::max_element(weight.begin(), weight.end());
                double total = 0.0;
                for (double& s : weight) total += (s = std::exp(s - top));
                for (std::size_t j = 0; j <= i; ++j) {
                    for (std::size_t d = 0; d < hd; ++d) {
                        mixed[h * hd + d] += weight[j] / total * v[j][g * hd + d];
                    }
                }
            }
            const Vector projected = times(wo, mixed);
            for (std::size_t c = 0; c < projected.size(); ++c) x[i][c] += projected[c];
        }
        const Matrix gate = rowsOf(layer.ffn_gate), up = rowsOf(layer.ffn_up),
                     down = rowsOf(layer.ffn_down);
        for (std::size_t t = 0; t < n; ++t) {
            const Vector h = normalised(x[t], layer.ffn_norm.data, eps);
            const Vector u = times(up, h), g = times(gate, h);
            Vector a(u.size());
            for (std::size_t e = 0; e < u.size(); ++e) {
                a[e] = spec.feed_forward == FeedForwardKind::swiglu
                           ? g[e] / (1.0 + std::exp(-g[e])) * u[e]
                           : 0.5 * u[e] * (1.0 + std::erf(u[e] / std::sqrt(2.0)));
            }
            const Vector y = times(down, a);
            for (std::size_t c = 0; c < y.size(); ++c) x[t][c] += y[c];
        }
    }
    const Matrix out = rowsOf(spec.tied_embeddings ? w.token_embedding : w.output_embedding);
    Matrix logits;
    for (std::size_t t = 0; t < n; ++t)
        logits.push_back(times(out, normalised(x[t], w.final_norm.data, eps)));
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
