#pragma once

#include <cmath>
#include <limits>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace detail {
[[noreturn]] void throwForwardValue();
[[noreturn]] void throwOperatorValue();
[[noreturn]] void throwCachedValue();

// Every finished value passes here once. A value that is not finite is refused. In reduced
// precision the value is rounded to float32 and widened back; a finite double beyond the
// float32 range is refused as well, because its rounding would be infinite and nothing
// downstream checks cached keys, values or returned logits again.
template <void (*Fail)()>
inline double checkValue(double x, bool double_precision) {
    if (!std::isfinite(x)) Fail();
    if (double_precision) return x;
    const float rounded = static_cast<float>(x);
    if (std::isinf(rounded)) Fail();
    return static_cast<double>(rounded);
}
}  // namespace detail

// "transformer forward produced NaN/Inf": the full forward pass and its own projections.
inline double checkForwardValue(double x, bool double_precision) {
    return detail::checkValue<detail::throwForwardValue>(x, double_precision);
}
// "transformer operator produced NaN/Inf": the shared operators.
inline double checkOperatorValue(double x, bool double_precision) {
    return detail::checkValue<detail::throwOperatorValue>(x, double_precision);
}
// "cached transformer produced NaN/Inf": the KV runtime's own steps.
inline double checkCachedValue(double x, bool double_precision) {
    return detail::checkValue<detail::throwCachedValue>(x, double_precision);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
