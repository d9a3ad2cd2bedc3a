#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace Nuvexis::Core::Tarvel::detail {

// The runtime's one overflow rule for sizes, counts and offsets: an operation that would not fit
// in 64 bits has no result. Each caller turns "no result" into its own error.
constexpr std::optional<std::uint64_t> checkedProduct(std::uint64_t a, std::uint64_t b) noexcept {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::nullopt;
    return a * b;
}
constexpr std::optional<std::uint64_t> checkedSum(std::uint64_t a, std::uint64_t b) noexcept {
    if (b > std::numeric_limits<std::uint64_t>::max() - a) return std::nullopt;
    return a + b;
}

// Expected extent a * b for a shape check. An overflowing product is 0, which no tensor extent
// equals, so the tensor is reported as misshapen instead of being compared with a wrapped value.
constexpr std::uint64_t expectedExtent(std::uint64_t a, std::uint64_t b) noexcept {
    return checkedProduct(a, b).value_or(0);
}

// For upper bounds (budgets, limits): a size too large for 64 bits is as good as the largest.
constexpr std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) noexcept {
    return checkedProduct(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}
constexpr std::uint64_t saturatingSum(std::uint64_t a, std::uint64_t b) noexcept {
    return checkedSum(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

}  // namespace Nuvexis::Core::Tarvel::detail
