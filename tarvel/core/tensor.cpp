#include "tarvel/core/tensor.hpp"

#include <optional>
#include <stdexcept>
#include <string>

#include "tarvel/core/detail/checked_arithmetic.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

Tensor::Tensor(std::vector<std::uint64_t> shape_, double fill, bool double_precision_)
    : shape(std::move(shape_)), double_precision(double_precision_) {
    const std::uint64_t count = elementCount(shape);
    // A count beyond what a vector of doubles can address surfaces as the library's own
    // std::length_error from the vector.
    if (count > data.max_size()) throw std::length_error("vector too long");
    data.assign(static_cast<std::size_t>(count), fill);
}

std::uint64_t elementCount(std::span<const std::uint64_t> shape) {
    std::uint64_t product = 1;
    for (const std::uint64_t extent : shape) {
        if (extent == 0) throw std::invalid_argument("tensor extent must be positive");
        const std::optional<std::uint64_t> next = detail::checkedProduct(product, extent);
        if (!next) throw std::overflow_error("tensor shape overflows size_t");
        product = *next;
    }
    return product;
}

void requireShape(const Tensor& tensor, std::span<const std::uint64_t> expected, const char* name) {
    if (!hasShape(tensor, expected))
        throw std::invalid_argument(std::string(name) + " has an invalid shape");
}

namespace detail {
void throwRankMismatch() {
    throw std::out_of_range("tensor rank mismatch");
}
void throwIndexOutOfBounds() {
    throw std::out_of_range("tensor index out of bounds");
}
}  // namespace detail

}  // namespace Tarvel
}  // namespace Nuvexis::Core
