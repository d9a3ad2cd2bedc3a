#include "tarvel/ops/linear.hpp"

#include <cmath>
#include <stdexcept>

#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"
#include "tarvel/ops/detail/projection.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

template <typename W>
Tensor linearOf(const Tensor& input, const W& weight, std::uint64_t rows, std::uint64_t in_dim,
                std::uint64_t out_dim, bool double_precision, LinearVariant variant) {
    requireShape(input, {rows, in_dim}, "linear input");
    requireShape(weight, {out_dim, in_dim}, "linear weight");
    Tensor out({rows, out_dim}, 0.0, double_precision);
    if (variant == LinearVariant::forward) {
        detail::project<checkForwardValue>(input, weight, out, rows, in_dim, out_dim,
                                           double_precision);
    } else {
        detail::project<checkOperatorValue>(input, weight, out, rows, in_dim, out_dim,
                                            double_precision);
    }
    return out;
}

template <typename W>
Tensor feedForwardOf(const Tensor& input, const W& gate_weight, const W& up_weight,
                     const W& down_weight, std::uint64_t rows, std::uint64_t model_dim,
                     std::uint64_t ffn_dim, FeedForwardKind kind, bool double_precision) {
    // The up projection comes first, so its shape errors win over an unknown kind.
    const Tensor up = linearOf(input, up_weight, rows, model_dim, ffn_dim, double_precision,
                               LinearVariant::operator_);
    Tensor hidden({rows, ffn_dim}, 0.0, double_precision);
    // Each activation is a function of its own inputs alone, so the elements go to the threads
    // in contiguous runs.
    constexpr std::uint64_t min_run = 2048;
    switch (kind) {
        case FeedForwardKind::swiglu: {
            const Tensor gate = linearOf(input, gate_weight, rows, model_dim, ffn_dim,
                                         double_precision, LinearVariant::operator_);
            detail::parallelFor(
                hidden.data.size(), min_run, [&](std::uint64_t begin, std::uint64_t end) {
                    for (std::uint64_t e = begin; e < end; ++e) {
                        const double g = gate.data[e];
                        const double u = up.data[e];
                        // exp(-g) may overflow to infinity for very negative g;
                        // the quotient is then a signed zero, which is the
                        // limit anyway.
                        hidden.data[e] =
                            checkOperatorValue((g / (std::exp(-g) + 1.0)) * u, double_precision);
                    }
                });
            break;
        }
        case FeedForwardKind::geglu_tanh: {
            const Tensor gate = linearOf(input, gate_weight, rows, model_dim, ffn_dim,
                                         double_precision, LinearVariant::operator_);
            detail::parallelFor(
                hidden.data.size(), min_run, [&](std::uint64_t begin, std::uint64_t end) {
                    for (std::uint64_t e = begin; e < end; ++e) {
                        hidden.data[e] = checkOperatorValue(
                            detail::geluTanh(gate.data[e]) * up.data[e], double_precision);
                    }
                });
            break;
        }
        case FeedForwardKind::gelu:
            detail::parallelFor(
                hidden.data.size(), min_run, [&](std::uint64_t begin, std::uint64_t end) {
                    for (std::uint64_t e = begin; e < end; ++e) {
                        const double u = up.data[e];
                        hidden.data[e] = checkOperatorValue(
                            (std::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5), double_precision);
                    }
                });
            break;
        default:
            throw std::invalid_argument("unknown feed-forward operator");
    }
    return linearOf(hidden, down_weight, rows, ffn_dim, model_dim, double_precision,
                    LinearVariant::operator_);
}

}  // namespace

Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in_dim,
              std::uint64_t out_dim, bool double_precision, LinearVariant variant) {
    return linearOf(input, weight, rows, in_dim, out_dim, double_precision, variant);
}

Tensor feedForward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                   const Tensor& down_weight, std::uint64_t rows, std::uint64_t model_dim,
                   std::uint64_t ffn_dim, FeedForwardKind kind, bool double_precision) {
    return feedForwardOf(input, gate_weight, up_weight, down_weight, rows, model_dim, ffn_dim, kind,
                         double_precision);
}

namespace detail {

Tensor linear(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
              std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision,
              LinearVariant variant) {
    return linearOf(input, weight, rows, in_dim, out_dim, double_precision, variant);
}

Tensor feedForward(const Tensor& input, const PackedTensor& gate_weight,
                   const PackedTensor& up_weight, const PackedTensor& down_weight,
                   std::uint64_t rows, std::uint64_t model_dim, std::uint64_t ffn_dim,
                   FeedForwardKind kind, bool double_precision) {
    return feedForwardOf(input, gate_weight, up_weight, down_weight, rows, model_dim, ffn_dim, kind,
                         double_precision);
}

}  // namespace detail

}  // namespace Tarvel
}  // namespace Nuvexis::Core
