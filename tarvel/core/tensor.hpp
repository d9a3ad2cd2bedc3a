#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <vector>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Dense row-major array of doubles. A default-constructed Tensor is the absent tensor:
// empty shape, no data. A Tensor made by the constructor with an empty shape is a rank-0
// tensor holding exactly one element.
struct Tensor {
    std::vector<std::uint64_t> shape;
    std::vector<double> data;
    bool double_precision = true;

    Tensor() = default;
    Tensor(std::vector<std::uint64_t> shape, double fill, bool double_precision);
};

// Product of the extents. Throws std::invalid_argument "tensor extent must be positive" at the
// first zero extent, std::overflow_error "tensor shape overflows size_t" when the product does
// not fit in 64 bits; the first offending extent in axis order decides.
std::uint64_t elementCount(std::span<const std::uint64_t> shape);
inline std::uint64_t elementCount(std::initializer_list<std::uint64_t> shape) {
    return elementCount(std::span<const std::uint64_t>(shape.begin(), shape.size()));
}

namespace detail {
// Shape equal to `expected` and `stored` values exactly as many as it counts; a count beyond
// 64 bits matches no storage, zero extents count nothing.
inline bool holdsShape(const std::vector<std::uint64_t>& shape, std::size_t stored,
                       std::span<const std::uint64_t> expected) {
    if (!std::equal(shape.begin(), shape.end(), expected.begin(), expected.end())) return false;
    std::uint64_t count = 1;
    for (const std::uint64_t extent : expected) {
        if (extent != 0 && count > std::numeric_limits<std::uint64_t>::max() / extent) return false;
        count *= extent;
    }
    return stored == count;
}
}  // namespace detail

// True when the tensor's shape is exactly the expected one (same rank, equal extents) and its
// storage holds exactly as many values as that shape counts. Fields are public, so a caller
// may hand in storage that disagrees with the shape; such a tensor is misshapen for every
// demand, and nothing reads past its storage.
inline bool hasShape(const Tensor& tensor, std::span<const std::uint64_t> expected) {
    return detail::holdsShape(tensor.shape, tensor.data.size(), expected);
}

// Throws std::invalid_argument "<name> has an invalid shape" unless the shape is exactly
// the expected one.
void requireShape(const Tensor& tensor, std::span<const std::uint64_t> expected, const char* name);
inline void requireShape(const Tensor& tensor, std::initializer_list<std::uint64_t> expected,
                         const char* name) {
    requireShape(tensor, std::span<const std::uint64_t>(expected.begin(), expected.size()), name);
}

namespace detail {
// Error paths kept out of line so that the inlined index checks stay small.
[[noreturn]] void throwRankMismatch();
[[noreturn]] void throwIndexOutOfBounds();

inline std::uint64_t flatIndexOf(const std::vector<std::uint64_t>& shape,
                                 const std::uint64_t* index, std::size_t rank) {
    if (shape.size() != rank) throwRankMismatch();
    std::uint64_t offset = 0;
    for (std::size_t a = 0; a < rank; ++a) {
        if (index[a] >= shape[a]) throwIndexOutOfBounds();
        offset = offset * shape[a] + index[a];
    }
    return offset;
}

// Demands, once per call and with the errors `at` raises, exactly these extents and storage to
// match. A kernel that has restated its operands this way, inline, lets the compiler drop the
// checks of `at` in its loops that these facts already settle; the checks that remain still run.
template <std::size_t N>
inline void restateShape(const std::vector<std::uint64_t>& shape, std::size_t stored,
                         const std::uint64_t (&extents)[N]) {
    if (shape.size() != N) throwRankMismatch();
    std::uint64_t count = 1;
    for (std::size_t a = 0; a < N; ++a) {
        if (shape[a] != extents[a]) throwIndexOutOfBounds();
        // A count that wraps could equal a short storage's size.
        if (extents[a] != 0 && count > std::numeric_limits<std::uint64_t>::max() / extents[a]) {
            throwIndexOutOfBounds();
        }
        count *= extents[a];
    }
    if (stored != count) throwIndexOutOfBounds();
}
template <std::size_t N>
inline void restateShape(const Tensor& tensor, const std::uint64_t (&extents)[N]) {
    restateShape(tensor.shape, tensor.data.size(), extents);
}
}  // namespace detail

// Row-major offset of an index tuple. Throws std::out_of_range "tensor rank mismatch" or
// "tensor index out of bounds".
template <std::size_t N>
inline std::uint64_t flatIndex(const std::vector<std::uint64_t>& shape,
                               const std::uint64_t (&index)[N]) {
    return detail::flatIndexOf(shape, index, N);
}
inline std::uint64_t flatIndex(const std::vector<std::uint64_t>& shape,
                               std::span<const std::uint64_t> index) {
    return detail::flatIndexOf(shape, index.data(), index.size());
}

// Validated element access. The index tuple is a fixed-size array when written as a braced
// list, so element access allocates nothing and inlines to a few compares. The index is checked
// against the shape; that the storage holds the shape is settled once per operation, by the
// shape demand every operation makes before it indexes a tensor, not again per element.
template <std::size_t N>
inline double& at(Tensor& tensor, const std::uint64_t (&index)[N]) {
    return tensor.data[static_cast<std::size_t>(detail::flatIndexOf(tensor.shape, index, N))];
}
template <std::size_t N>
inline double at(const Tensor& tensor, const std::uint64_t (&index)[N]) {
    return tensor.data[static_cast<std::size_t>(detail::flatIndexOf(tensor.shape, index, N))];
}
// Index tuples of run-time rank, and the empty tuple `{}` of a rank-0 tensor.
inline double& at(Tensor& tensor, std::span<const std::uint64_t> index) {
    return tensor.data[static_cast<std::size_t>(
        detail::flatIndexOf(tensor.shape, index.data(), index.size()))];
}
inline double at(const Tensor& tensor, std::span<const std::uint64_t> index) {
    return tensor.data[static_cast<std::size_t>(
        detail::flatIndexOf(tensor.shape, index.data(), index.size()))];
}
}  // namespace Tarvel
}  // namespace Nuvexis::Core
