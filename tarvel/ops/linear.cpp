#include "tarvel/ops/linear.hpp"

#include <cmath>
#include <stdexcept>

#include "tarvel/core/value_check.hpp"

namespace Nuvexis::Core::Tarvel {

namespace {

// Tiles of row_tile rows by out_tile output features are accumulated side by side so that every
// loaded input and weight is used several times; each element keeps its own sum in ascending
// input order, so the tiling does not change a single bit of the result.
constexpr std::uint64_t row_tile = 2;
constexpr std::uint64_t out_tile = 4;

template <LinearVariant Variant>
double check(double x, bool double_precision) {
    if constexpr (Variant == LinearVariant::forward) {
        return checkForwardValue(x, double_precision);
    } else {
        return checkOperatorValue(x, double_precision);
    }
}

template <std::uint64_t Rows, std::uint64_t Outs, LinearVariant Variant>
void tile(const Tensor& input, const Tensor& weight, Tensor& out, std::uint64_t r, std::uint64_t o,
          std::uint64_t in_dim, bool double_precision) {
    double acc[Rows][Outs] = {};
    for (std::uint64_t i = 0; i < in_dim; ++i) {
        double x[Rows];
        double w[Outs];
        for (std::uint64_t a = 0; a < Rows; ++a) x[a] = at(input, {r + a, i});
        for (std::uint64_t c = 0; c < Outs; ++c) w[c] = at(weight, {o + c, i});
        for (std::uint64_t a = 0; a < Rows; ++a) {
            for (std::uint64_t c = 0; c < Outs; ++c) acc[a][c] = acc[a][c] + x[a] * w[c];
        }
    }
    for (std::uint64_t a = 0; a < Rows; ++a) {
        for (std::uint64_t c = 0; c < Outs; ++c) {
            at(out, {r + a, o + c}) = check<Variant>(acc[a][c], double_precision);
        }
    }
}

// One block of output features against every row: the weight rows of the block stay in cache
// while the (smaller) input streams past them.
template <std::uint64_t Outs, LinearVariant Variant>
void outputBlock(const Tensor& input, const Tensor& weight, Tensor& out, std::uint64_t rows,
                 std::uint64_t o, std::uint64_t in_dim, bool double_precision) {
    std::uint64_t r = 0;
    for (; r + row_tile <= rows; r += row_tile) {
        tile<row_tile, Outs, Variant>(input, weight, out, r, o, in_dim, double_precision);
    }
    for (; r < rows; ++r)
        tile<1, Outs, Variant>(input, weight, out, r, o, in_dim, double_precision);
}

template <LinearVariant Variant>
void project(const Tensor& input, const Tensor& weight, Tensor& out, std::uint64_t rows,
             std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    std::uint64_t o = 0;
    for (; o + out_tile <= out_dim; o += out_tile) {
        outputBlock<out_tile, Variant>(input, weight, out, rows, o, in_dim, double_precision);
    }
    for (; o < out_dim; ++o) {
        outputBlock<1, Variant>(input, weight, out, rows, o, in_dim, double_precision);
    }
}

}  // namespace

Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in_dim,
              std::uint64_t out_dim, bool double_precision, LinearVariant variant) {
    requireShape(input, {rows, in_dim}, "linear input");
    requireShape(weight, {out_dim, in_dim}, "linear weight");
    Tensor out({rows, out_dim}, 0.0, double_precision);
    if (variant == LinearVariant::forward) {
        project<LinearVariant::forward>(input, weight, out, rows, in_dim, out_dim,
                                        double_precision);
    } else {
        project<LinearVariant::operator_>(input, weight, out, rows, in_dim, out_dim,
                                          double_precision);
    }
    return out;
}

Tensor feedForward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                   const Tensor& down_weight, std::uint64_t rows, std::uint64_t model_dim,
                   std::uint64_t ffn_dim, FeedForwardKind kind, bool double_precision) {
    // The up projection comes first, so its shape errors win over an unknown kind.
    const Tensor up = linear(input, up_weight, rows, model_dim, ffn_dim, double_precision);
    Tensor hidden({rows, ffn_dim}, 0.0, double_precision);
    switch (kind) {
        case FeedForwardKind::swiglu: {
            const Tensor gate =
                linear(input, gate_weight, rows, model_dim, ffn_dim, double_precision);
            for (std::size_t e = 0; e < hidden.data.size(); ++e) {
                const double g = gate.data[e];
                const double u = up.data[e];
                // exp(-g) may overflow to infinity for very negative g; the quotient is then a
                // signed zero, which is the limit anyway.
                hidden.data[e] =
                    checkOperatorValue((g / (std::exp(-g) + 1.0)) * u, double_precision);
            }
            break;
        }
        case FeedForwardKind::gelu:
            for (std::size_t e = 0; e < hidden.data.size(); ++e) {
                const double u = up.data[e];
                hidden.data[e] = checkOperatorValue(
                    (std::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5), double_precision);
            }
            break;
        default:
            throw std::invalid_argument("unknown feed-forward operator");
    }
    return linear(hidden, down_weight, rows, ffn_dim, model_dim, double_precision);
}

}  // namespace Nuvexis::Core::Tarvel
