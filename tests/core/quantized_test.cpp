#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/quantized_blocks.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/quantized.hpp"

using namespace tarvel_test;
namespace detail = Nuvexis::Core::Tarvel::detail;
using detail::PackedTensor;
using Nuvexis::Core::Tarvel::Tensor;

namespace {

std::uint64_t bitsOf(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

struct KnownValue {
    std::uint64_t index;
    double value;
};

struct HandCase {
    BlockFormat format;
    std::function<void(std::vector<std::uint8_t>&)> fill;
    std::vector<KnownValue> expected;
};

// Blocks written byte by byte from the format's layout, with values worked out by hand from the
// formula: the extreme integers, negative scales and minimums, and values from both halves and
// from the last group of each block.
std::vector<HandCase> handCases() {
    return {
        {BlockFormat::q4_0,
         [](auto& b) {
             setHalf(b, 0, 0xB800);  // d = -0.5
             b[2] = 0xF0;            // value 0: q 0, value 16: q 15
             b[3] = 0x08;            // value 1: q 8, value 17: q 0
         },
         {{0, 4.0}, {16, -3.5}, {1, 0.0}, {17, 4.0}}},
        {BlockFormat::q4_1,
         [](auto& b) {
             setHalf(b, 0, 0x3400);  // d = 0.25
             setHalf(b, 2, 0xBC00);  // m = -1
             b[4] = 0xF0;
         },
         {{0, -1.0}, {16, 2.75}}},
        {BlockFormat::q5_0,
         [](auto& b) {
             setHalf(b, 0, 0x4000);  // d = 2
             b[2] = 0x01;            // qh bit 0: value 0's fifth bit
             b[4] = 0x02;            // qh bit 17: value 17's
             b[6] = 0xFF;            // value 0: 15 | 16, value 16: 15
             b[7] = 0x00;            // value 1: 0, value 17: 0 | 16
         },
         {{0, 30.0}, {16, -2.0}, {1, -32.0}, {17, 0.0}}},
        {BlockFormat::q5_1,
         [](auto& b) {
             setHalf(b, 0, 0x3C00);  // d = 1
             setHalf(b, 2, 0x3800);  // m = 0.5
             b[7] = 0x80;            // qh bit 31
             b[8 + 15] = 0xF0;       // value 15: 0, value 31: 15 | 16
         },
         {{15, 0.5}, {31, 31.5}, {0, 0.5}}},
        {BlockFormat::q8_0,
         [](auto& b) {
             setHalf(b, 0, 0xB000);  // d = -0.125
             b[2] = 0x80;            // -128
             b[33] = 0x7F;           // 127
         },
         {{0, 16.0}, {31, -15.875}, {1, 0.0}}},
        {BlockFormat::q2_k,
         [](auto& b) {
             b[0] = 0xF3;             // group 0: scale 3, min 15
             b[2] = 0x12;             // group 2: scale 2, min 1
             b[6] = 0x0F;             // group 6: scale 15, min 0
             b[15] = 0xA1;            // group 15: scale 1, min 10
             b[16] = 0xE4;            // q of values 0, 32, 64, 96: 0, 1, 2, 3
             b[16 + 63] = 0x80;       // value 255: bits 6-7 of byte 63: 2
             setHalf(b, 80, 0x3C00);  // d = 1
             setHalf(b, 82, 0xB800);  // dmin = -0.5
         },
         {{0, 7.5}, {32, 2.5}, {96, 45.0}, {255, 7.0}}},
        {BlockFormat::q3_k,
         [](auto& b) {
             b[0] = 0x01;        // hmask: value 0's high bit set (q 3); value 1's clear
             b[32] = 0x03;       // value 0: q 3
             b[32 + 1] = 0x00;   // value 1: q 0 - 4
             b[31] = 0x80;       // hmask byte 31 bit 7: value 255's high bit
             b[32 + 63] = 0xC0;  // value 255: bits 6-7 of qs byte 63: 3
             // scales: group 0 is 0 (all its bits clear: -32), group 15 is 63 (+31)
             b[96 + 7] = 0xF0;
             b[96 + 11] = 0xC0;
             setHalf(b, 108, 0x3800);  // d = 0.5
         },
         {{0, -48.0}, {1, 64.0}, {255, 46.5}}},
        {BlockFormat::q4_k,
         [](auto& b) {
             setHalf(b, 0, 0x3C00);  // d = 1
             setHalf(b, 2, 0x4000);  // dmin = 2
             b[4 + 0] = 63;          // group 0: scale 63
             b[4 + 4] = 1;           // group 0: min 1
             b[4 + 3] = 0xC0;        // group 7: scale's top bits 3
             b[4 + 7] = 0x40;        // group 7: min's top bits 1
             b[4 + 11] = 0xFF;       // group 7: scale's and min's low nibbles 15
             b[16] = 0x0F;           // value 0: 15
             b[16 + 127] = 0xA0;     // value 255: 10
         },
         {{0, 943.0}, {255, 568.0}, {32, 0.0}}},
        {BlockFormat::q5_k,
         [](auto& b) {
             setHalf(b, 0, 0x3800);  // d = 0.5
             setHalf(b, 2, 0x3400);  // dmin = 0.25
             b[4 + 0] = 2;           // group 0: scale 2
             b[4 + 4] = 4;           // group 0: min 4
             b[4 + 1] = 1;           // group 1: scale 1, min 0
             b[16] = 0x03;           // qh byte 0: fifth bits of values 0 and 32
             b[16 + 31] = 0x80;      // qh byte 31 bit 7: value 255's fifth bit
             b[48] = 0x0F;           // value 0: 15, value 32: 0
         },
         {{0, 30.0}, {32, 8.0}, {255, 0.0}}},
        {BlockFormat::q6_k,
         [](auto& b) {
             b[127] = 0xF0;            // value 255: low bits 15
             b[16] = 0x50;             // value 80: low bits 5
             b[128 + 63] = 0xC0;       // value 255: top bits 3
             b[128 + 16] = 0x20;       // value 80: top bits 2
             b[192 + 0] = 0x80;        // group 0: -128
             b[192 + 5] = 0xFE;        // group 5: -2
             b[192 + 15] = 0x7F;       // group 15: 127
             setHalf(b, 208, 0x3400);  // d = 0.25
         },
         {{0, 1024.0}, {255, 984.25}, {80, -2.5}}},
    };
}

}  // namespace

TEST(Quantized, HandMadeBlocksHoldTheFormulasValues) {
    for (const HandCase& c : handCases()) {
        SCOPED_TRACE(detail::blockFormatName(c.format));
        std::vector<std::uint8_t> block(detail::blockBytes(c.format), 0);
        c.fill(block);
        std::vector<double> values(detail::blockValues(c.format));
        detail::dequantizeBlock(c.format, block.data(), values.data());
        for (const KnownValue& known : c.expected) {
            SCOPED_TRACE("value " + std::to_string(known.index));
            EXPECT_EQ(values[known.index], known.value);
            EXPECT_EQ(detail::dequantizeValue(c.format, block.data(), known.index), known.value);
        }
    }
}

// One value at a time, a block at a time with a stride, and the tensor's own widenings
// (unpackTensor, runs across block edges) give the same bits for random blocks of every format.
TEST(Quantized, EveryWideningOfRandomBlocksAgrees) {
    BlockFiller filler(3);
    for (const BlockFormat format : every_block_format) {
        SCOPED_TRACE(detail::blockFormatName(format));
        const std::uint64_t values = detail::blockValues(format);
        const PackedTensor tensor = filler.tensor(format, 3, 2 * values);
        ASSERT_EQ(tensor.type(), detail::PackedType::quantized);
        EXPECT_EQ(tensor.size(), 6 * values);
        EXPECT_EQ(tensor.bytes(), 6 * detail::blockBytes(format));
        const auto& bytes = std::get<detail::QuantizedBlocks>(tensor.values).bytes;
        std::vector<double> expected;
        for (std::uint64_t n = 0; n < 6; ++n) {
            std::vector<double> block(values);
            detail::dequantizeBlock(format, bytes.data() + n * detail::blockBytes(format),
                                    block.data());
            std::vector<double> strided(3 * values, -1.0);
            detail::dequantizeBlock(format, bytes.data() + n * detail::blockBytes(format),
                                    strided.data() + 1, 3);
            for (std::uint64_t v = 0; v < values; ++v) {
                ASSERT_EQ(bitsOf(detail::dequantizeValue(
                              format, bytes.data() + n * detail::blockBytes(format), v)),
                          bitsOf(block[v]))
                    << "block " << n << " value " << v;
                ASSERT_EQ(bitsOf(strided[1 + 3 * v]), bitsOf(block[v]));
                ASSERT_EQ(strided[3 * v], -1.0);
                ASSERT_TRUE(std::isfinite(block[v]));
            }
            expected.insert(expected.end(), block.begin(), block.end());
        }
        const Tensor unpacked = detail::unpackTensor(tensor);
        EXPECT_EQ(unpacked.shape, (std::vector<std::uint64_t>{3, 2 * values}));
        ASSERT_EQ(unpacked.data.size(), expected.size());
        for (std::size_t e = 0; e < expected.size(); ++e) {
            ASSERT_EQ(bitsOf(unpacked.data[e]), bitsOf(expected[e])) << e;
        }
        // A run from inside one block to inside another, and single values.
        const std::uint64_t first = values / 2 + 3;
        std::vector<double> run(values + 5);
        detail::widenRun(tensor, first, run.size(), run.data());
        for (std::uint64_t i = 0; i < run.size(); ++i) {
            ASSERT_EQ(bitsOf(run[i]), bitsOf(expected[first + i]));
        }
        EXPECT_EQ(bitsOf(detail::packedAt(tensor, 5 * values + 1)),
                  bitsOf(expected[5 * values + 1]));
    }
}

TEST(Quantized, PackBlocksRefusesMalformedTensorsInOrder) {
    const auto blocks = [](std::uint64_t n) {
        return std::vector<std::uint8_t>(n * detail::blockBytes(BlockFormat::q4_k), 0);
    };
    std::vector<std::uint8_t> infinite = blocks(3);
    setHalf(infinite, 2 * 144 + 2, 0x7C00);  // block 2's dmin: +infinity
    std::vector<std::uint8_t> nan = blocks(2);
    setHalf(nan, 144, 0xFE01);  // block 1's d: a NaN
    struct Case {
        const char* name;
        BlockFormat format;
        std::vector<std::uint64_t> shape;
        std::vector<std::uint8_t> bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"unknown format before all else",
         static_cast<BlockFormat>(10),
         {1, 7},
         {},
         "unknown block format"},
        {"rank 3", BlockFormat::q4_k, {1, 1, 256}, blocks(1), "quantized tensor shape is invalid"},
        {"rank 0", BlockFormat::q4_k, {}, blocks(1), "quantized tensor shape is invalid"},
        {"row of a block and a half",
         BlockFormat::q4_k,
         {1, 384},
         blocks(2),
         "quantized tensor row is not a whole number of blocks"},
        {"a block too few",
         BlockFormat::q4_k,
         {2, 512},
         blocks(3),
         "quantized tensor byte count does not match its shape"},
        {"a byte too many",
         BlockFormat::q8_0,
         {1, 32},
         std::vector<std::uint8_t>(35),
         "quantized tensor byte count does not match its shape"},
        {"overflowing block count",
         BlockFormat::q4_k,
         {std::uint64_t{1} << 62, 512},
         blocks(1),
         "quantized tensor byte count does not match its shape"},
        {"infinite minimum",
         BlockFormat::q4_k,
         {3, 256},
         infinite,
         "block 2 has a scale that is not finite"},
        {"NaN scale, one-dimensional",
         BlockFormat::q4_k,
         {512},
         nan,
         "block 1 has a scale that is not finite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW_MSG(detail::packBlocks(c.format, c.shape, c.bytes), std::invalid_argument,
                         c.message);
    }
    // Empty and one-dimensional tensors are tensors too.
    EXPECT_EQ(detail::packBlocks(BlockFormat::q6_k, {0, 256}, {}).size(), 0u);
    EXPECT_EQ(detail::packBlocks(BlockFormat::q6_k, {256}, std::vector<std::uint8_t>(210)).size(),
              256u);
}

// float32 evaluation of the formula rounds nothing but the offset's addition, so it gives the
// exact value rounded to float32, and differs only where that needs more than 24 bits: never in
// the formats without an offset, in each of the others for random blocks.
TEST(Quantized, Float32EvaluationDiffersOnlyWhereTheOffsetAddsBits) {
    BlockFiller filler(11);
    for (const BlockFormat format : every_block_format) {
        SCOPED_TRACE(detail::blockFormatName(format));
        const std::uint64_t values = detail::blockValues(format);
        const PackedTensor tensor = filler.tensor(format, 4, 4 * values);
        const auto& bytes = std::get<detail::QuantizedBlocks>(tensor.values).bytes;
        std::uint64_t differences = 0;
        for (std::uint64_t n = 0; n < 16; ++n) {
            std::vector<double> exact(values);
            std::vector<float> narrow(values);
            const std::uint8_t* block = bytes.data() + n * detail::blockBytes(format);
            detail::dequantizeBlock(format, block, exact.data());
            detail::dequantizeBlockFloat32(format, block, narrow.data());
            for (std::uint64_t v = 0; v < values; ++v) {
                ASSERT_EQ(bitsOf(static_cast<double>(narrow[v])),
                          bitsOf(static_cast<double>(static_cast<float>(exact[v]))))
                    << "block " << n << " value " << v;
                if (static_cast<double>(narrow[v]) != exact[v]) ++differences;
            }
        }
        EXPECT_EQ(detail::float32DequantizationDifferences(tensor), differences);
        const bool offset = format == BlockFormat::q4_1 || format == BlockFormat::q5_1 ||
                            format == BlockFormat::q2_k || format == BlockFormat::q4_k ||
                            format == BlockFormat::q5_k;
        EXPECT_EQ(differences != 0, offset) << differences;
    }
    // One value by hand: Q4_1 with d = 1 and m = 2^-24 (the least binary16 subnormal) holds
    // 15 + 2^-24 exactly, 28 significant bits; float32 has 24 and rounds it to 15.
    std::vector<std::uint8_t> block(detail::blockBytes(BlockFormat::q4_1), 0);
    setHalf(block, 0, 0x3C00);
    setHalf(block, 2, 0x0001);
    block[4] = 0x0F;
    const PackedTensor one = detail::packBlocks(BlockFormat::q4_1, {32}, block);
    EXPECT_EQ(detail::packedAt(one, 0), 15.0 + 0x1p-24);
    EXPECT_EQ(detail::float32DequantizationDifferences(one), 1u);
    EXPECT_EQ(detail::float32DequantizationDifferences(detail::packTensor(Tensor({2}, 0.5, true))),
              0u);
}
