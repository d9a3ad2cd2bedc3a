#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tarvel/core/tensor.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Storage types of a packed weight, narrowest first. Every one of them widens to double exactly,
// so arithmetic on widened values is that of the double values themselves.
enum class PackedType : std::uint8_t { bf16, f16, f32, f64 };

// The upper half of a float32.
struct Bf16 {
    std::uint16_t bits = 0;
};
// IEEE binary16.
struct F16 {
    std::uint16_t bits = 0;
};

inline double widen(double x) noexcept {
    return x;
}
inline double widen(float x) noexcept {
    return static_cast<double>(x);
}
inline double widen(Bf16 x) noexcept {
    return static_cast<double>(std::bit_cast<float>(std::uint32_t{x.bits} << 16));
}
// The magnitude bits placed at the top of a double's exponent and fraction give the value
// scaled by 2^-1008 (a binary16 subnormal lands on a double subnormal of the same fraction);
// the multiplication by a power of two undoes that exactly. Packing never stores infinities or
// NaNs as binary16.
inline double widen(F16 x) noexcept {
    const std::uint64_t magnitude = std::uint64_t{x.bits & 0x7fffu} << 42;
    const double scaled = std::bit_cast<double>(magnitude) * 0x1p1008;
    return (x.bits & 0x8000u) != 0 ? -scaled : scaled;
}

// One weight tensor in the narrowest type that holds each of its values exactly.
struct PackedTensor {
    std::vector<std::uint64_t> shape;
    std::variant<std::vector<Bf16>, std::vector<F16>, std::vector<float>, std::vector<double>>
        values;

    PackedType type() const noexcept { return static_cast<PackedType>(values.index()); }
    std::size_t size() const noexcept {
        return std::visit([](const auto& v) { return v.size(); }, values);
    }
    std::uint64_t bytes() const noexcept {
        return std::visit([](const auto& v) { return std::uint64_t{sizeof(v[0])} * v.size(); },
                          values);
    }
    bool empty() const noexcept { return size() == 0; }
};

// The narrowest type holding every value of `values` exactly, bit for bit (signed zeros, and
// the infinities and NaNs of any tensor not yet checked, included).
PackedType narrowestExactType(std::span<const double> values) noexcept;

// The tensor in the narrowest exact type; the result widens back to every bit of `tensor`.
PackedTensor packTensor(const Tensor& tensor);
// The values of `values` stored as `type`, which must hold each of them exactly.
PackedTensor packValues(std::vector<std::uint64_t> shape, std::span<const double> values,
                        PackedType type);

// The values widened back into a plain Tensor.
Tensor unpackTensor(const PackedTensor& tensor);

// Value of storage element `flat`, widened.
inline double packedAt(const PackedTensor& tensor, std::uint64_t flat) {
    return std::visit([&](const auto& v) { return widen(v[static_cast<std::size_t>(flat)]); },
                      tensor.values);
}

// Shape and storage agree with `expected` exactly, as hasShape demands of a Tensor.
bool hasShape(const PackedTensor& tensor, std::span<const std::uint64_t> expected);
// Throws std::invalid_argument "<name> has an invalid shape", as requireShape of a Tensor.
void requireShape(const PackedTensor& tensor, std::span<const std::uint64_t> expected,
                  const char* name);
inline void requireShape(const PackedTensor& tensor, std::initializer_list<std::uint64_t> expected,
                         const char* name) {
    requireShape(tensor, std::span<const std::uint64_t>(expected.begin(), expected.size()), name);
}

// A packed tensor's values as the kernels read them: the shape, and storage of one type.
template <typename E>
struct WeightView {
    const std::vector<std::uint64_t>& shape;
    std::span<const E> data;
};

// Element access with the checks of `at` on a Tensor, widened in a register.
template <typename E, std::size_t N>
inline double at(const WeightView<E>& view, const std::uint64_t (&index)[N]) {
    return widen(view.data[static_cast<std::size_t>(flatIndexOf(view.shape, index, N))]);
}

// restateShape for a view, with the same errors.
template <typename E, std::size_t N>
inline void restateShape(const WeightView<E>& view, const std::uint64_t (&extents)[N]) {
    if (view.shape.size() != N) throwRankMismatch();
    std::uint64_t count = 1;
    for (std::size_t a = 0; a < N; ++a) {
        if (view.shape[a] != extents[a]) throwIndexOutOfBounds();
        if (extents[a] != 0 && count > std::numeric_limits<std::uint64_t>::max() / extents[a]) {
            throwIndexOutOfBounds();
        }
        count *= extents[a];
    }
    if (view.data.size() != count) throwIndexOutOfBounds();
}

// Calls fn(view) with a WeightView of the tensor's own storage type.
template <typename Fn>
decltype(auto) visitWeight(const PackedTensor& tensor, Fn&& fn) {
    return std::visit(
        [&](const auto& v) -> decltype(auto) {
            using E = typename std::decay_t<decltype(v)>::value_type;
            return fn(WeightView<E>{tensor.shape, std::span<const E>(v)});
        },
        tensor.values);
}

}  // namespace Nuvexis::Core::Tarvel::detail
