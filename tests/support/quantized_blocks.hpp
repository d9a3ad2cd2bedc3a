#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/quantized.hpp"

namespace tarvel_test {

using Nuvexis::Core::Tarvel::detail::BlockFormat;

inline constexpr BlockFormat every_block_format[] = {
    BlockFormat::q4_0, BlockFormat::q4_1, BlockFormat::q5_0, BlockFormat::q5_1, BlockFormat::q8_0,
    BlockFormat::q2_k, BlockFormat::q3_k, BlockFormat::q4_k, BlockFormat::q5_k, BlockFormat::q6_k};

// Byte offsets of a block's half-precision fields.
inline std::vector<std::uint64_t> halfOffsets(BlockFormat format) {
    switch (format) {
        case BlockFormat::q4_0:
        case BlockFormat::q5_0:
        case BlockFormat::q8_0:
            return {0};
        case BlockFormat::q4_1:
        case BlockFormat::q5_1:
        case BlockFormat::q4_k:
        case BlockFormat::q5_k:
            return {0, 2};
        case BlockFormat::q2_k:
            return {80, 82};
        case BlockFormat::q3_k:
            return {108};
        case BlockFormat::q6_k:
            return {208};
    }
    return {};
}

inline void setHalf(std::vector<std::uint8_t>& bytes, std::uint64_t offset, std::uint16_t bits) {
    bytes[offset] = static_cast<std::uint8_t>(bits & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(bits >> 8);
}

// Deterministic random blocks: random bytes, each half-precision scale a random finite binary16
// (subnormals, both signs and the largest included) or, with `small_scales`, one of either sign
// between 2^-10 and 2^-6, so that a model's activations stay modest.
class BlockFiller {
  public:
    explicit BlockFiller(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 7) {}

    std::uint32_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33);
    }

    std::vector<std::uint8_t> blocks(BlockFormat format, std::uint64_t count,
                                     bool small_scales = false) {
        namespace d = Nuvexis::Core::Tarvel::detail;
        const std::uint64_t size = d::blockBytes(format);
        std::vector<std::uint8_t> bytes(count * size);
        for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(next() & 0xFF);
        for (std::uint64_t n = 0; n < count; ++n) {
            for (const std::uint64_t offset : halfOffsets(format)) {
                std::uint32_t bits = next() & 0xFFFF;
                if (small_scales) {
                    const std::uint32_t exponent = 5 + next() % 4;  // 2^-10 .. 2^-7 and above
                    bits = (bits & 0x83FF) | exponent << 10;
                } else if (((bits >> 10) & 31) == 31) {
                    bits &= ~(1u << 10);  // exponent 30: the largest finite ones
                }
                setHalf(bytes, n * size + offset, static_cast<std::uint16_t>(bits));
            }
        }
        return bytes;
    }

    // A {rows, cols} tensor of random blocks.
    Nuvexis::Core::Tarvel::detail::PackedTensor tensor(BlockFormat format, std::uint64_t rows,
                                                       std::uint64_t cols,
                                                       bool small_scales = false) {
        namespace d = Nuvexis::Core::Tarvel::detail;
        return d::packBlocks(format, {rows, cols},
                             blocks(format, rows * cols / d::blockValues(format), small_scales));
    }

  private:
    std::uint64_t state_;
};

}  // namespace tarvel_test
