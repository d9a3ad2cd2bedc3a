#include "tarvel/core/bytes.hpp"

#include <algorithm>
#include <vector>

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

using detail::checksum_initial;
using detail::checksumStep;

std::uint64_t checksum64(const std::uint8_t* first, std::size_t count) {
    std::uint64_t h = checksum_initial;
    for (std::size_t i = 0; i < count; ++i) h = checksumStep(h, first[i]);
    return h;
}

void checksum64Each(std::span<const ByteRange> ranges, std::span<std::uint64_t> results) {
    // Longest first, so that each group of four shares as long a common length as it can.
    std::vector<std::size_t> order(ranges.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return ranges[a].count > ranges[b].count;
    });
    constexpr std::size_t lanes = 4;
    for (std::size_t k = 0; k < order.size(); k += lanes) {
        const std::size_t group = std::min(lanes, order.size() - k);
        ByteRange range[lanes];
        std::uint64_t h[lanes];
        for (std::size_t c = 0; c < lanes; ++c) {
            range[c] = c < group ? ranges[order[k + c]] : ByteRange{};
            h[c] = checksum_initial;
        }
        // The shortest of the group (the last, or an empty filler) bounds the shared stretch.
        const std::size_t common = range[lanes - 1].count;
        for (std::size_t i = 0; i < common; ++i) {
            for (std::size_t c = 0; c < lanes; ++c) h[c] = checksumStep(h[c], range[c].first[i]);
        }
        for (std::size_t c = 0; c < group; ++c) {
            for (std::size_t i = common; i < range[c].count; ++i) {
                h[c] = checksumStep(h[c], range[c].first[i]);
            }
            results[order[k + c]] = h[c];
        }
    }
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
