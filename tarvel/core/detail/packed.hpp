#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "tarvel/core/detail/panel_layout.hpp"
#include "tarvel/core/detail/quantized.hpp"
#include "tarvel/core/tensor.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Storage types of a packed weight, narrowest first, then block-quantized storage. Every one of
// them widens to double exactly, so arithmetic on widened values is that of the double values
// themselves.
enum class PackedType : std::uint8_t { bf16, f16, f32, f64, quantized };

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

// Whether a PackedTensor's storage alternative V is blocks.
template <typename V>
inline constexpr bool is_blocks = std::is_same_v<std::decay_t<V>, QuantizedBlocks>;

// One weight tensor in the narrowest type that holds each of its values exactly, in the panel
// order above; or in the blocks of a quantized format, row-major (packBlocks).
struct PackedTensor {
    std::vector<std::uint64_t> shape;
    std::variant<std::vector<Bf16>, std::vector<F16>, std::vector<float>, std::vector<double>,
                 QuantizedBlocks>
        values;

    PackedType type() const noexcept { return static_cast<PackedType>(values.index()); }
    // The number of values (for blocks, those of the whole blocks stored).
    std::size_t size() const noexcept {
        return std::visit(
            [](const auto& v) -> std::size_t {
                if constexpr (is_blocks<decltype(v)>) {
                    const std::uint64_t block = blockBytes(v.format);
                    if (block == 0) return 0;
                    return static_cast<std::size_t>(v.bytes.size() / block * blockValues(v.format));
                } else {
                    return v.size();
                }
            },
            values);
    }
    // The bytes stored.
    std::uint64_t bytes() const noexcept {
        return std::visit(
            [](const auto& v) -> std::uint64_t {
                if constexpr (is_blocks<decltype(v)>) {
                    return v.bytes.size();
                } else {
                    return std::uint64_t{sizeof(v[0])} * v.size();
                }
            },
            values);
    }
    bool empty() const noexcept { return size() == 0; }
};

inline bool sameBits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The binary16 holding exactly x, if there is one. Finite values only: an infinity or NaN in a
// weight is kept in a wider type, where its bits survive unchanged.
inline std::optional<F16> toF16(double x) noexcept {
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

inline std::optional<float> toF32(double x) noexcept {
    // A double beyond the float range converts to an infinity, which fails the comparison.
    const float f = static_cast<float>(x);
    if (!sameBits(static_cast<double>(f), x)) return std::nullopt;
    return f;
}

inline std::optional<Bf16> toBf16(double x) noexcept {
    const std::optional<float> f = toF32(x);
    if (!f) return std::nullopt;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(*f);
    if ((bits & 0xffffu) != 0) return std::nullopt;
    return Bf16{static_cast<std::uint16_t>(bits >> 16)};
}

// Which storage types hold every value seen so far exactly, bit for bit (signed zeros, and the
// infinities and NaNs of a tensor not yet checked, included). Fed in pieces, so that a tensor
// can be judged without holding all of it as doubles.
struct ExactTypes {
    bool bf16 = true;
    bool f16 = true;
    bool f32 = true;

    void add(std::span<const double> values) noexcept {
        for (const double x : values) {
            if (!f32) return;
            if (!toF32(x)) {
                f32 = bf16 = f16 = false;
                return;
            }
            bf16 = bf16 && toBf16(x).has_value();
            f16 = f16 && toF16(x).has_value();
        }
    }
    PackedType narrowest() const noexcept {
        if (bf16) return PackedType::bf16;
        if (f16) return PackedType::f16;
        return f32 ? PackedType::f32 : PackedType::f64;
    }
};

inline PackedType narrowestExactType(std::span<const double> values) noexcept {
    ExactTypes types;
    types.add(values);
    return types.narrowest();
}

// An empty tensor of the given shape and type, with room for `count` values.
inline PackedTensor emptyPacked(std::vector<std::uint64_t> shape, PackedType type,
                                std::size_t count) {
    PackedTensor packed;
    packed.shape = std::move(shape);
    switch (type) {
        case PackedType::bf16:
            packed.values.emplace<0>().reserve(count);
            break;
        case PackedType::f16:
            packed.values.emplace<1>().reserve(count);
            break;
        case PackedType::f32:
            packed.values.emplace<2>().reserve(count);
            break;
        case PackedType::f64:
            packed.values.emplace<3>().reserve(count);
            break;
        case PackedType::quantized:
            throw std::invalid_argument("a quantized tensor is made from its blocks");
    }
    return packed;
}

// Appends values the tensor's type holds exactly (ExactTypes decided it), in row-major order;
// arrangePanels puts the finished tensor in panel order.
inline void appendPacked(PackedTensor& packed, std::span<const double> values) {
    switch (packed.type()) {
        case PackedType::bf16:
            for (const double x : values) std::get<0>(packed.values).push_back(*toBf16(x));
            break;
        case PackedType::f16:
            for (const double x : values) std::get<1>(packed.values).push_back(*toF16(x));
            break;
        case PackedType::f32:
            for (const double x : values) std::get<2>(packed.values).push_back(*toF32(x));
            break;
        case PackedType::f64:
            std::get<3>(packed.values)
                .insert(std::get<3>(packed.values).end(), values.begin(), values.end());
            break;
        case PackedType::quantized:
            throw std::invalid_argument("a quantized tensor is made from its blocks");
    }
}

// The full panels of a tensor of this shape holding `stored` values: its first
// panelCount * panel_rows rows are stored in panel order. A tensor whose storage does not match
// its shape (refused before any use) has none.
inline std::uint64_t panelCount(const std::vector<std::uint64_t>& shape,
                                std::uint64_t stored) noexcept {
    if (shape.size() != 2 || shape[1] == 0) return 0;
    if (stored / shape[1] != shape[0] || stored % shape[1] != 0) return 0;
    return shape[0] / panel_rows;
}

// Where row-major element (row, column) of such a tensor is stored.
inline std::uint64_t storageIndex(const std::vector<std::uint64_t>& shape, std::uint64_t stored,
                                  std::uint64_t row, std::uint64_t column) noexcept {
    const std::uint64_t panels = panelCount(shape, stored);
    if (row >= panels * panel_rows) return shape.size() == 2 ? row * shape[1] + column : column;
    const std::uint64_t lane = row % panel_rows;
    return (row - lane) * shape[1] + column * panel_rows + lane;
}

// Reorders a tensor whose values were appended row by row into panel order, one group of rows
// at a time (the one allocation: a group's values). Blocks stay row-major.
inline void arrangePanels(PackedTensor& tensor) {
    const std::uint64_t panels = panelCount(tensor.shape, tensor.size());
    if (panels == 0 || tensor.shape[1] <= 1) return;
    const std::uint64_t columns = tensor.shape[1];
    std::visit(
        [&](auto& v) {
            if constexpr (!is_blocks<decltype(v)>) {
                using E = typename std::decay_t<decltype(v)>::value_type;
                std::vector<E> group(static_cast<std::size_t>(panel_rows * columns));
                for (std::uint64_t p = 0; p < panels; ++p) {
                    E* base = v.data() + p * panel_rows * columns;
                    std::copy(base, base + group.size(), group.begin());
                    for (std::uint64_t r = 0; r < panel_rows; ++r) {
                        for (std::uint64_t c = 0; c < columns; ++c) {
                            base[c * panel_rows + r] =
                                group[static_cast<std::size_t>(r * columns + c)];
                        }
                    }
                }
            }
        },
        tensor.values);
}

// The tensor in the narrowest exact type; the result widens back to every bit of `tensor`.
inline PackedTensor packTensor(const Tensor& tensor) {
    PackedTensor packed =
        emptyPacked(tensor.shape, narrowestExactType(tensor.data), tensor.data.size());
    appendPacked(packed, tensor.data);
    arrangePanels(packed);
    return packed;
}

// Writes the `count` values of row-major elements first .. first + count - 1, widened, to out.
// All of them lie in one row of a rank-2 tensor (or anywhere in a tensor of another rank), and
// the caller has checked that the tensor holds them. A row inside a panel lies one value in
// every panel_rows; any other row lies in one run.
inline void widenRun(const PackedTensor& tensor, std::uint64_t first, std::uint64_t count,
                     double* out) {
    if (const auto* blocks = std::get_if<QuantizedBlocks>(&tensor.values)) {
        // Row-major: the blocks holding the run, each widened whole.
        const std::uint64_t values = blockValues(blocks->format);
        const std::uint64_t size = blockBytes(blocks->format);
        double block[256];
        std::uint64_t done = 0;
        while (done < count) {
            const std::uint64_t next = first + done;
            const std::uint64_t offset = next % values;
            dequantizeBlock(blocks->format, blocks->bytes.data() + next / values * size, block);
            const std::uint64_t n = std::min(values - offset, count - done);
            std::copy(block + offset, block + offset + n, out + done);
            done += n;
        }
        return;
    }
    std::uint64_t start = first;
    std::uint64_t stride = 1;
    const std::uint64_t panels = panelCount(tensor.shape, tensor.size());
    if (panels != 0 && first / tensor.shape[1] < panels * panel_rows) {
        start = storageIndex(tensor.shape, tensor.size(), first / tensor.shape[1],
                             first % tensor.shape[1]);
        stride = panel_rows;
    }
    std::visit(
        [&](const auto& v) {
            if constexpr (!is_blocks<decltype(v)>) {
                for (std::uint64_t i = 0; i < count; ++i) {
                    out[i] = widen(v[static_cast<std::size_t>(start + i * stride)]);
                }
            }
        },
        tensor.values);
}

// Value of row-major element `flat` (within the stored values), widened.
inline double packedAt(const PackedTensor& tensor, std::uint64_t flat) {
    double value = 0.0;
    widenRun(tensor, flat, 1, &value);
    return value;
}

// The first byte of the tensor's storage, whatever its type.
inline const unsigned char* storageBytes(const PackedTensor& tensor) noexcept {
    return std::visit(
        [](const auto& v) {
            if constexpr (is_blocks<decltype(v)>) {
                return reinterpret_cast<const unsigned char*>(v.bytes.data());
            } else {
                return reinterpret_cast<const unsigned char*>(v.data());
            }
        },
        tensor.values);
}

// Calls fn(value) for every value, widened, in row-major order.
template <typename Fn>
void forEachValue(const PackedTensor& tensor, Fn&& fn) {
    std::visit(
        [&](const auto& v) {
            if constexpr (is_blocks<decltype(v)>) {
                const std::uint64_t values = blockValues(v.format);
                const std::uint64_t size = blockBytes(v.format);
                double block[256];
                for (std::uint64_t b = 0; size != 0 && b + size <= v.bytes.size(); b += size) {
                    dequantizeBlock(v.format, v.bytes.data() + b, block);
                    for (std::uint64_t i = 0; i < values; ++i) fn(block[i]);
                }
            } else {
                const std::uint64_t panels = panelCount(tensor.shape, v.size());
                const std::uint64_t columns = panels != 0 ? tensor.shape[1] : 0;
                const std::uint64_t arranged = panels * panel_rows * columns;
                for (std::uint64_t row = 0; row < panels * panel_rows; ++row) {
                    const std::uint64_t base =
                        (row - row % panel_rows) * columns + row % panel_rows;
                    for (std::uint64_t c = 0; c < columns; ++c) {
                        fn(widen(v[static_cast<std::size_t>(base + c * panel_rows)]));
                    }
                }
                for (std::uint64_t i = arranged; i < v.size(); ++i) {
                    fn(widen(v[static_cast<std::size_t>(i)]));
                }
            }
        },
        tensor.values);
}

// The values widened back into a plain Tensor.
inline Tensor unpackTensor(const PackedTensor& tensor) {
    Tensor out;
    out.shape = tensor.shape;
    out.data.reserve(tensor.size());
    forEachValue(tensor, [&](double x) { out.data.push_back(x); });
    return out;
}

// Shape and storage agree with `expected` exactly, as hasShape demands of a Tensor.
inline bool hasShape(const PackedTensor& tensor, std::span<const std::uint64_t> expected) {
    return holdsShape(tensor.shape, tensor.size(), expected);
}

// Throws std::invalid_argument "<name> has an invalid shape", as requireShape of a Tensor.
inline void requireShape(const PackedTensor& tensor, std::span<const std::uint64_t> expected,
                         const char* name) {
    if (!hasShape(tensor, expected))
        throw std::invalid_argument(std::string(name) + " has an invalid shape");
}
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

// Element access with the checks of `at` on a Tensor, widened in a register; a rank-2 index is
// looked up in panel order.
template <typename E, std::size_t N>
inline double at(const WeightView<E>& view, const std::uint64_t (&index)[N]) {
    std::uint64_t flat = flatIndexOf(view.shape, index, N);
    if constexpr (N == 2) flat = storageIndex(view.shape, view.data.size(), index[0], index[1]);
    return widen(view.data[static_cast<std::size_t>(flat)]);
}

// restateShape for a view, with the same errors.
template <typename E, std::size_t N>
inline void restateShape(const WeightView<E>& view, const std::uint64_t (&extents)[N]) {
    restateShape(view.shape, view.data.size(), extents);
}

// The view of a tensor's blocks: `data` holds the bytes, `values` the values they make.
template <>
struct WeightView<QuantizedBlocks> {
    const std::vector<std::uint64_t>& shape;
    std::span<const std::uint8_t> data;
    BlockFormat format;
    std::uint64_t values;
};

// Element access on blocks, with the same checks: the one value dequantized from its block.
template <std::size_t N>
inline double at(const WeightView<QuantizedBlocks>& view, const std::uint64_t (&index)[N]) {
    const std::uint64_t flat = flatIndexOf(view.shape, index, N);
    const std::uint64_t values = blockValues(view.format);
    return dequantizeValue(view.format, view.data.data() + flat / values * blockBytes(view.format),
                           flat % values);
}

template <std::size_t N>
inline void restateShape(const WeightView<QuantizedBlocks>& view,
                         const std::uint64_t (&extents)[N]) {
    restateShape(view.shape, static_cast<std::size_t>(view.values), extents);
}

// Calls fn(view) with a WeightView of the tensor's own storage type.
template <typename Fn>
decltype(auto) visitWeight(const PackedTensor& tensor, Fn&& fn) {
    return std::visit(
        [&](const auto& v) -> decltype(auto) {
            if constexpr (is_blocks<decltype(v)>) {
                return fn(WeightView<QuantizedBlocks>{
                    tensor.shape, std::span<const std::uint8_t>(v.bytes), v.format,
                    static_cast<std::uint64_t>(tensor.size())});
            } else {
                using E = typename std::decay_t<decltype(v)>::value_type;
                return fn(WeightView<E>{tensor.shape, std::span<const E>(v)});
            }
        },
        tensor.values);
}

}  // namespace Nuvexis::Core::Tarvel::detail
