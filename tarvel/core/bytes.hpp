#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// The one little-endian byte order of every file the runtime writes or reads: the low `width`
// bytes of a value (width at most 8), least significant first. Bounds are the caller's.
inline void storeLittleEndian(std::uint8_t* out, std::uint64_t value, std::size_t width) noexcept {
    for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline std::uint64_t loadLittleEndian(const std::uint8_t* in, std::size_t width) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{in[i]} << (8 * i);
    return value;
}

// FNV-1a with initial value 0x14650fb0739d0383 (not the standard offset basis).
std::uint64_t checksum64(const std::uint8_t* first, std::size_t count);
// A byte range, as checksum64 takes it.
struct ByteRange {
    const std::uint8_t* first = nullptr;
    std::size_t count = 0;
};
// checksum64 of each range, into results (one per range). The values are those of separate
// calls; ranges of similar length run four at a time, interleaved, so that their
// multiplications overlap instead of each waiting for the one before.
void checksum64Each(std::span<const ByteRange> ranges, std::span<std::uint64_t> results);

namespace detail {
inline constexpr std::uint64_t checksum_initial = 0x14650fb0739d0383u;
inline constexpr std::uint64_t checksum_multiplier = 0x100000001b3u;
inline std::uint64_t checksumStep(std::uint64_t h, std::uint8_t byte) noexcept {
    return (h ^ byte) * checksum_multiplier;
}
}  // namespace detail

}  // namespace Tarvel
}  // namespace Nuvexis::Core
