#include "tarvel/ops/rms_norm.hpp"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "tarvel/core/value_check.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

// The scale's `dim` values, once its shape is checked: in place, or widened into `widened`.
const double* scaleValues(const Tensor& weight, std::uint64_t, std::vector<double>&) {
    return weight.data.data();
}
const double* scaleValues(const detail::PackedTensor& weight, std::uint64_t dim,
                          std::vector<double>& widened) {
    widened.resize(static_cast<std::size_t>(dim));
    detail::widenRun(weight, 0, dim, widened.data());
    return widened.data();
}

template <typename W>
Tensor rmsNormOf(const Tensor& input, const W& weight, std::uint64_t rows, std::uint64_t dim,
                 double epsilon, bool double_precision, bool unit_offset) {
    // Negative zero fails `> 0.0` as well, so it is refused like zero.
    if (!(std::isfinite(epsilon) && epsilon > 0.0)) {
        throw std::invalid_argument("RMSNorm epsilon must be finite and positive");
    }
    requireShape(input, {rows, dim}, "RMSNorm input");
    requireShape(weight, {dim}, "RMSNorm weight");

    Tensor out({rows, dim}, 0.0, double_precision);
    std::vector<double> widened;
    const double* scale = scaleValues(weight, dim, widened);
    // 1 + w is a scale of its own, formed once per feature; the loop below is the same for both.
    std::vector<double> offset;
    if (unit_offset) {
        offset.resize(static_cast<std::size_t>(dim));
        for (std::uint64_t d = 0; d < dim; ++d) offset[d] = 1.0 + scale[d];
        scale = offset.data();
    }
    const double features = static_cast<double>(dim);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const double* x = input.data.data() + r * dim;
        double* y = out.data.data() + r * dim;
        double ss = 0.0;
        for (std::uint64_t d = 0; d < dim; ++d) ss = ss + x[d] * x[d];
        // A sum beyond the double range would make the scale 0 and every output a silent 0
        // (or NaN); the row cannot be normalised, which is the operator's value failure.
        if (!std::isfinite(ss)) detail::throwOperatorValue();
        // Epsilon is added after the mean, inside the square root.
        const double m = ss / features + epsilon;
        const double inv = 1.0 / std::sqrt(m);
        for (std::uint64_t d = 0; d < dim; ++d) {
            y[d] = checkOperatorValue(scale[d] * (x[d] * inv), double_precision);
        }
    }
    return out;
}

}  // namespace

Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
               double epsilon, bool double_precision) {
    return rmsNormOf(input, weight, rows, dim, epsilon, double_precision, false);
}

Tensor rmsNorm(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t dim,
               double epsilon, bool double_precision, bool unit_offset) {
    return rmsNormOf(input, weight, rows, dim, epsilon, double_precision, unit_offset);
}

Tensor detail::rmsNorm(const Tensor& input, const PackedTensor& weight, std::uint64_t rows,
                       std::uint64_t dim, double epsilon, bool double_precision, bool unit_offset) {
    return rmsNormOf(input, weight, rows, dim, epsilon, double_precision, unit_offset);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
