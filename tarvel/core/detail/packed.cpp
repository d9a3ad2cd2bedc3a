#include "tarvel/core/detail/packed.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

namespace Nuvexis::Core::Tarvel::detail {

namespace {

bool sameBits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The binary16 holding exactly x, if there is one. Finite values only: an infinity or NaN in a
// weight is kept in a wider type, where its bits survive unchanged.
std::optional<F16> toF16(double x) noexcept {
    if (!std::isfinite(x)) return std::nullopt;
    const std::uint16_t sign = std::signbit(x) ? 0x8000u : 0u;
    const double a = std::fabs(x);
    if (a == 0.0) return F16{sign};
    if (a > 65504.0) return std::nullopt;
    std::uint32_t magnitude = 0;
    if (a < 0x1p-14) {
        // Subnormal: a multiple of 2^-24 below 2^-14.
        const double fraction = a * 0x1p24;  // exact: a power-of-two scaling of a small value
        if (fraction != std::floor(fraction)) return std::nullopt;
        magnitude = static_cast<std::uint32_t>(fraction);
    } else {
        int exponent = 0;
        const double m = std::frexp(a, &exponent);  // a = m * 2^exponent, m in [0.5, 1)
        const double fraction = (2.0 * m - 1.0) * 1024.0;
        if (fraction != std::floor(fraction)) return std::nullopt;
        magnitude = static_cast<std::uint32_t>(exponent - 1 + 15) << 10 |
                    static_cast<std::uint32_t>(fraction);
    }
    const F16 candidate{static_cast<std::uint16_t>(sign | magnitude)};
    // The widening decides; the construction above only proposes.
    if (!sameBits(widen(candidate), x)) return std::nullopt;
    return candidate;
}

std::optional<float> toF32(double x) noexcept {
    // A double beyond the float range converts to an infinity, which fails the comparison.
    const float f = static_cast<float>(x);
    if (!sameBits(static_cast<double>(f), x)) return std::nullopt;
    return f;
}

std::optional<Bf16> toBf16(double x) noexcept {
    const std::optional<float> f = toF32(x);
    if (!f) return std::nullopt;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(*f);
    if ((bits & 0xffffu) != 0) return std::nullopt;
    return Bf16{static_cast<std::uint16_t>(bits >> 16)};
}

template <typename E, typename Convert>
std::vector<E> convertAll(std::span<const double> values, Convert&& convert) {
    std::vector<E> out;
    out.reserve(values.size());
    for (const double x : values) out.push_back(*convert(x));
    return out;
}

}  // namespace

PackedType narrowestExactType(std::span<const double> values) noexcept {
    bool bf16 = true;
    bool f16 = true;
    for (const double x : values) {
        if (!toF32(x)) return PackedType::f64;
        bf16 = bf16 && toBf16(x).has_value();
        f16 = f16 && toF16(x).has_value();
    }
    if (bf16) return PackedType::bf16;
    return f16 ? PackedType::f16 : PackedType::f32;
}

PackedTensor packValues(std::vector<std::uint64_t> shape, std::span<const double> values,
                        PackedType type) {
    PackedTensor packed;
    packed.shape = std::move(shape);
    switch (type) {
        case PackedType::bf16:
            packed.values = convertAll<Bf16>(values, toBf16);
            break;
        case PackedType::f16:
            packed.values = convertAll<F16>(values, toF16);
            break;
        case PackedType::f32:
            packed.values = convertAll<float>(values, toF32);
            break;
        case PackedType::f64:
            packed.values = std::vector<double>(values.begin(), values.end());
            break;
    }
    return packed;
}

PackedTensor packTensor(const Tensor& tensor) {
    return packValues(tensor.shape, tensor.data, narrowestExactType(tensor.data));
}

Tensor unpackTensor(const PackedTensor& tensor) {
    Tensor out;
    out.shape = tensor.shape;
    out.data.reserve(tensor.size());
    std::visit(
        [&](const auto& v) {
            for (const auto x : v) out.data.push_back(widen(x));
        },
        tensor.values);
    return out;
}

bool hasShape(const PackedTensor& tensor, std::span<const std::uint64_t> expected) {
    if (!std::equal(tensor.shape.begin(), tensor.shape.end(), expected.begin(), expected.end())) {
        return false;
    }
    std::uint64_t count = 1;
    for (const std::uint64_t extent : expected) {
        if (extent != 0 && count > std::numeric_limits<std::uint64_t>::max() / extent) return false;
        count *= extent;
    }
    return tensor.size() == count;
}

void requireShape(const PackedTensor& tensor, std::span<const std::uint64_t> expected,
                  const char* name) {
    if (!hasShape(tensor, expected))
        throw std::invalid_argument(std::string(name) + " has an invalid shape");
}

}  // namespace Nuvexis::Core::Tarvel::detail
