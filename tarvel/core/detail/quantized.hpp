#pragma once

#include <cstdint>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail {

// Block-quantized storage as GGUF files hold it (ggml's block layouts, little-endian): each row
// of a tensor is a run of blocks, each block a few half-precision scales and the small integers
// they scale. A weight's value is the exact value of its format's formula,
//   Q4_0  d * (q - 8)                  Q4_1  d * q + m           (32 values, 4-bit q)
//   Q5_0  d * (q - 16)                 Q5_1  d * q + m           (32 values, 5-bit q)
//   Q8_0  d * q                                                  (32 values, signed 8-bit q)
//   Q2_K  (d * sc) * q - dmin * mn     (256 values in 16 groups of 16; 4-bit sc, mn; 2-bit q)
//   Q3_K  (d * (sc - 32)) * (q - 4 * !hbit)   (16 groups of 16; 6-bit sc; 2-bit q and a high bit)
//   Q4_K  (d * sc) * q - dmin * mn     (8 groups of 32; 6-bit sc, mn; 4-bit q)
//   Q5_K  (d * sc) * q - dmin * mn     (8 groups of 32; 6-bit sc, mn; 5-bit q)
//   Q6_K  (d * sc) * (q - 32)          (16 groups of 16; signed 8-bit sc; 6-bit q)
// evaluated in double in that order. Every step is exact: a finite binary16 is an integer
// multiple of 2^-24 below 2^16 with at most 11 significant bits, and the integers it meets have
// at most 7 (|sc| <= 128) and 5 (|q| <= 32), so each product has at most 23 significant bits
// (exact even in float32), and each value and each difference is a multiple of 2^-24 below
// 2^29, an integer below 2^53 times 2^-24, which a double holds. float32 evaluation therefore
// departs from these values only in the formats with an offset (Q4_1, Q5_1, Q2_K, Q4_K, Q5_K),
// where the sum of two exact terms may need more than 24 significant bits.
enum class BlockFormat : std::uint8_t {
    q4_0,
    q4_1,
    q5_0,
    q5_1,
    q8_0,
    q2_k,
    q3_k,
    q4_k,
    q5_k,
    q6_k
};

// A tensor's blocks, row after row, each row cols / blockValues(format) blocks.
struct QuantizedBlocks {
    BlockFormat format = BlockFormat::q8_0;
    std::vector<std::uint8_t> bytes;
};

// Values and bytes of one block, and the format's name ("Q4_K"); 0 and "unknown" for a code
// outside the enumeration.
std::uint64_t blockValues(BlockFormat format) noexcept;
std::uint64_t blockBytes(BlockFormat format) noexcept;
const char* blockFormatName(BlockFormat format) noexcept;
bool knownBlockFormat(BlockFormat format) noexcept;

// The block's values, exactly, to out[0], out[stride], ... out[(blockValues - 1) * stride]. The
// block's scales are finite (packBlocks checked them).
void dequantizeBlock(BlockFormat format, const std::uint8_t* block, double* out,
                     std::uint64_t stride = 1);

// Value `index` of the block, the same bits as dequantizeBlock's.
double dequantizeValue(BlockFormat format, const std::uint8_t* block, std::uint64_t index);

// The block's values as other runtimes compute them: the same formula in float32, each
// operation rounded to float32 (the scale products, then the product with q, then the offset).
void dequantizeBlockFloat32(BlockFormat format, const std::uint8_t* block, float* out);

struct PackedTensor;

// A packed tensor that keeps the blocks: shape {rows, cols} (or {cols}, one row), bytes row-major,
// each row cols / blockValues blocks. Throws std::invalid_argument "unknown block format",
// "quantized tensor shape is invalid" (not of rank 1 or 2), "quantized tensor row is not a whole
// number of blocks", "quantized tensor byte count does not match its shape", or "block <n> has a
// scale that is not finite" (n counted from 0 over the whole tensor), checked in that order.
// Rows stay row-major: a panel of rows is contiguous anyway, and a loader may permute whole rows.
PackedTensor packBlocks(BlockFormat format, std::vector<std::uint64_t> shape,
                        std::vector<std::uint8_t> bytes);

// How many of a quantized tensor's values float32 evaluation (dequantizeBlockFloat32) gives
// other than exactly: 0 for any other tensor.
std::uint64_t float32DequantizationDifferences(const PackedTensor& tensor);

}  // namespace Nuvexis::Core::Tarvel::detail
