// The .npy reader on arbitrary bytes. Only std::invalid_argument "npy: ..." in one line may
// leave it; an accepted array holds exactly the values its shape counts, and written back as
// float64 it reads back to the same bits.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tarvel/reference/npy.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Nuvexis::Core::Tarvel;
    NpyArray array;
    try {
        array = readNpy(std::span<const std::uint8_t>(data, size));
    } catch (const std::invalid_argument& e) {
        const std::string_view message = e.what();
        require(message.starts_with("npy: ") && message.find('\n') == std::string_view::npos);
        return 0;
    }
    std::uint64_t count = 1;
    for (const std::uint64_t d : array.shape) count *= d;  // the reader checked the product
    require(count == array.values.size());
    const NpyArray back = readNpy(npyBytes(array.shape, array.values));
    require(back.shape == array.shape && back.values.size() == array.values.size());
    for (std::size_t i = 0; i < back.values.size(); ++i) {
        require(std::bit_cast<std::uint64_t>(back.values[i]) ==
                std::bit_cast<std::uint64_t>(array.values[i]));
    }
    return 0;
}
