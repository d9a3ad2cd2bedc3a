#include "tarvel/ops/rms_norm.hpp"

#include <cmath>
#include <stdexcept>

#include "tarvel/core/value_check.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

double weightAt(const Tensor& weight, std::uint64_t d) {
    return at(weight, {d});
}
double weightAt(const detail::PackedTensor& weight, std::uint64_t d) {
    return detail::packedAt(weight, d);
}

template <typename W>
Tensor rmsNormOf(const Tensor& input, const W& weight, std::uint64_t rows, std::uint64_t dim,
                 double epsilon, bool double_precision) {
    // Negative zero fails `> 0.0` as well, so it is refused like zero.
    if (!(std::isfinite(epsilon) && epsilon > 0.0)) {
        throw std::invalid_argument("RMSNorm epsilon must be finite and positive");
    }
    requireShape(input, {rows, dim}, "RMSNorm input");
    requireShape(weight, {dim}, "RMSNorm weight");

    Tensor out({rows, dim}, 0.0, double_precision);
    const double features = static_cast<double>(dim);
    for (std::uint64_t r = 0; r < rows; ++r) {
        double ss = 0.0;
        for (std::uint64_t d = 0; d < dim; ++d) {
            const double x = at(input, {r, d});
            ss = ss + x * x;
        }
        // A sum beyond the double range would make the scale 0 and every output a silent 0
        // (or NaN); the row cannot be normalised, which is the operator's value failure.
        if (!std::isfinite(ss)) detail::throwOperatorValue();
        // Epsilon is added after the mean, inside the square root.
        const double m = ss / features + epsilon;
        const double inv = 1.0 / std::sqrt(m);
        for (std::uint64_t d = 0; d < dim; ++d) {
            at(out, {r, d}) = checkOperatorValue(weightAt(weight, d) * (at(input, {r, d}) * inv),
                                                 double_precision);
        }
    }
    return out;
}

}  // namespace

Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
               double epsilon, bool double_precision) {
    return rmsNormOf(input, weight, rows, dim, epsilon, double_precision);
}

Tensor detail::rmsNorm(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
                       std::uint64_t dim, double epsilon, bool double_precision) {
    return rmsNormOf(input, weight, rows, dim, epsilon, double_precision);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
