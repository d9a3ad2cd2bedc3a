#include "tarvel/core/detail/quantized.hpp"

#include <cmath>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

namespace {

struct FormatInfo {
    std::uint64_t values;
    std::uint64_t bytes;
    const char* name;
};

// In the order of BlockFormat.
constexpr FormatInfo formats[] = {
    {32, 18, "Q4_0"},   {32, 20, "Q4_1"},   {32, 22, "Q5_0"},   {32, 24, "Q5_1"},
    {32, 34, "Q8_0"},   {256, 84, "Q2_K"},  {256, 110, "Q3_K"}, {256, 144, "Q4_K"},
    {256, 176, "Q5_K"}, {256, 210, "Q6_K"},
};

double half(const std::uint8_t* p) noexcept {
    return widen(F16{static_cast<std::uint16_t>(p[0] | p[1] << 8)});
}

std::uint32_t word(const std::uint8_t* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// The 6-bit scale and minimum of group j (0..7) of a Q4_K or Q5_K block, from its 12 packed
// bytes: groups 0-3 in the low six bits of bytes 0-3 and 4-7, groups 4-7 in the nibbles of bytes
// 8-11 with their top two bits in the top bits of bytes 0-3 and 4-7.
void scaleMinK4(std::uint64_t j, const std::uint8_t* q, int& sc, int& mn) noexcept {
    if (j < 4) {
        sc = q[j] & 63;
        mn = q[j + 4] & 63;
    } else {
        sc = (q[j + 4] & 0xF) | ((q[j - 4] >> 6) << 4);
        mn = (q[j + 4] >> 4) | ((q[j] >> 6) << 4);
    }
}

// The 6-bit scale of group k (0..15) of a Q3_K block, from its 12 packed bytes: the low four
// bits in the nibbles of bytes 0-7 (groups 8-15 in the high ones), the top two in bytes 8-11,
// two bits for each group k % 4 at bit 2 * (k / 4).
int scaleK3(std::uint64_t k, const std::uint8_t* s) noexcept {
    const int low = k < 8 ? s[k] & 0xF : s[k - 8] >> 4;
    const int high = (s[8 + k % 4] >> (2 * (k / 4))) & 3;
    return low | high << 4;
}

// Every value of a block in T: in double each operation is exact; in float each is rounded to
// float32, as other runtimes compute the same formula. The order of the operations is the
// formula's, as written in quantized.hpp.
template <typename T>
void decode(BlockFormat format, const std::uint8_t* b, T* out, std::uint64_t stride) {
    const auto t = [](auto x) { return static_cast<T>(x); };
    switch (format) {
        case BlockFormat::q4_0: {
            const T d = t(half(b));
            const std::uint8_t* qs = b + 2;
            for (std::uint64_t j = 0; j < 16; ++j) {
                out[j * stride] = t((qs[j] & 0xF) - 8) * d;
                out[(j + 16) * stride] = t((qs[j] >> 4) - 8) * d;
            }
            return;
        }
        case BlockFormat::q4_1: {
            const T d = t(half(b));
            const T m = t(half(b + 2));
            const std::uint8_t* qs = b + 4;
            for (std::uint64_t j = 0; j < 16; ++j) {
                out[j * stride] = t(qs[j] & 0xF) * d + m;
                out[(j + 16) * stride] = t(qs[j] >> 4) * d + m;
            }
            return;
        }
        case BlockFormat::q5_0:
        case BlockFormat::q5_1: {
            // Value j's fifth bit is bit j of qh, value j + 16's bit j + 16.
            const bool offset = format == BlockFormat::q5_1;
            const T d = t(half(b));
            const T m = offset ? t(half(b + 2)) : T(0);
            const std::uint32_t qh = word(b + (offset ? 4 : 2));
            const std::uint8_t* qs = b + (offset ? 8 : 6);
            for (std::uint64_t j = 0; j < 16; ++j) {
                const int q0 = (qs[j] & 0xF) | static_cast<int>(((qh >> j) & 1u) << 4);
                const int q1 = (qs[j] >> 4) | static_cast<int>(((qh >> (j + 16)) & 1u) << 4);
                if (offset) {
                    out[j * stride] = t(q0) * d + m;
                    out[(j + 16) * stride] = t(q1) * d + m;
                } else {
                    out[j * stride] = t(q0 - 16) * d;
                    out[(j + 16) * stride] = t(q1 - 16) * d;
                }
            }
            return;
        }
        case BlockFormat::q8_0: {
            const T d = t(half(b));
            for (std::uint64_t j = 0; j < 32; ++j) {
                out[j * stride] = t(static_cast<std::int8_t>(b[2 + j])) * d;
            }
            return;
        }
        case BlockFormat::q2_k: {
            // Values 128n + 32j + 16h + l: bits 2j of byte 32n + 16h + l, group 8n + 2j + h.
            const std::uint8_t* scales = b;
            const std::uint8_t* qs = b + 16;
            const T d = t(half(b + 80));
            const T dmin = t(half(b + 82));
            for (std::uint64_t n = 0; n < 2; ++n) {
                for (std::uint64_t j = 0; j < 4; ++j) {
                    for (std::uint64_t h = 0; h < 2; ++h) {
                        const std::uint8_t sc = scales[8 * n + 2 * j + h];
                        const T dl = d * t(sc & 0xF);
                        const T ml = dmin * t(sc >> 4);
                        const std::uint8_t* q = qs + 32 * n + 16 * h;
                        T* y = out + (128 * n + 32 * j + 16 * h) * stride;
                        for (std::uint64_t l = 0; l < 16; ++l) {
                            y[l * stride] = dl * t((q[l] >> (2 * j)) & 3) - ml;
                        }
                    }
                }
            }
            return;
        }
        case BlockFormat::q3_k: {
            // Values 128n + 32j + 16h + l: bits 2j of qs byte 32n + 16h + l, the high bit
            // 4n + j of hmask byte 16h + l (clear: q - 4), group 8n + 2j + h.
            const std::uint8_t* hmask = b;
            const std::uint8_t* qs = b + 32;
            const std::uint8_t* scales = b + 96;
            const T d = t(half(b + 108));
            for (std::uint64_t n = 0; n < 2; ++n) {
                for (std::uint64_t j = 0; j < 4; ++j) {
                    for (std::uint64_t h = 0; h < 2; ++h) {
                        const T dl = d * t(scaleK3(8 * n + 2 * j + h, scales) - 32);
                        const std::uint8_t* q = qs + 32 * n + 16 * h;
                        const std::uint8_t* hm = hmask + 16 * h;
                        const unsigned bit = 1u << (4 * n + j);
                        T* y = out + (128 * n + 32 * j + 16 * h) * stride;
                        for (std::uint64_t l = 0; l < 16; ++l) {
                            const int low = (q[l] >> (2 * j)) & 3;
                            y[l * stride] = dl * t(low - ((hm[l] & bit) != 0 ? 0 : 4));
                        }
                    }
                }
            }
            return;
        }
        case BlockFormat::q4_k:
        case BlockFormat::q5_k: {
            // Values 64c + l and 64c + 32 + l: the low and high nibble of byte 32c + l, groups
            // 2c and 2c + 1; Q5_K's fifth bits are bits 2c and 2c + 1 of qh byte l.
            const bool fifth = format == BlockFormat::q5_k;
            const T d = t(half(b));
            const T dmin = t(half(b + 2));
            const std::uint8_t* scales = b + 4;
            const std::uint8_t* qh = b + 16;
            const std::uint8_t* qs = b + (fifth ? 48 : 16);
            for (std::uint64_t c = 0; c < 4; ++c) {
                int sc = 0;
                int mn = 0;
                scaleMinK4(2 * c, scales, sc, mn);
                const T d1 = d * t(sc);
                const T m1 = dmin * t(mn);
                scaleMinK4(2 * c + 1, scales, sc, mn);
                const T d2 = d * t(sc);
                const T m2 = dmin * t(mn);
                const std::uint8_t* q = qs + 32 * c;
                T* y = out + 64 * c * stride;
                for (std::uint64_t l = 0; l < 32; ++l) {
                    int q0 = q[l] & 0xF;
                    int q1 = q[l] >> 4;
                    if (fifth) {
                        q0 += ((qh[l] >> (2 * c)) & 1) << 4;
                        q1 += ((qh[l] >> (2 * c + 1)) & 1) << 4;
                    }
                    y[l * stride] = d1 * t(q0) - m1;
                    y[(l + 32) * stride] = d2 * t(q1) - m2;
                }
            }
            return;
        }
        case BlockFormat::q6_k: {
            // Values 128n + 32k + l (k = 0..3): the low nibble (k even) or high nibble (k odd)
            // of ql byte 64n + 32 * (k % 2) + l, the top two bits at bit 2k of qh byte 32n + l,
            // group 8n + 2k + l / 16.
            const std::uint8_t* ql = b;
            const std::uint8_t* qh = b + 128;
            const std::uint8_t* scales = b + 192;
            const T d = t(half(b + 208));
            for (std::uint64_t n = 0; n < 2; ++n) {
                for (std::uint64_t k = 0; k < 4; ++k) {
                    for (std::uint64_t g = 0; g < 2; ++g) {
                        const T dl = d * t(static_cast<std::int8_t>(scales[8 * n + 2 * k + g]));
                        T* y = out + (128 * n + 32 * k + 16 * g) * stride;
                        for (std::uint64_t l = 16 * g; l < 16 * g + 16; ++l) {
                            const std::uint8_t byte = ql[64 * n + 32 * (k % 2) + l];
                            const int low = k < 2 ? byte & 0xF : byte >> 4;
                            const int high = (qh[32 * n + l] >> (2 * k)) & 3;
                            y[(l - 16 * g) * stride] = dl * t((low | high << 4) - 32);
                        }
                    }
                }
            }
            return;
        }
    }
}

// The byte offsets of a block's half-precision fields.
struct HalfFields {
    std::uint64_t first;
    std::uint64_t second;  // == first when there is one
};
HalfFields halfFields(BlockFormat format) noexcept {
    switch (format) {
        case BlockFormat::q4_1:
        case BlockFormat::q5_1:
        case BlockFormat::q4_k:
        case BlockFormat::q5_k:
            return {0, 2};
        case BlockFormat::q2_k:
            return {80, 82};
        case BlockFormat::q3_k:
            return {108, 108};
        case BlockFormat::q6_k:
            return {208, 208};
        default:
            return {0, 0};
    }
}

bool finiteHalf(const std::uint8_t* p) noexcept {
    return (p[1] & 0x7C) != 0x7C;  // exponent all ones: an infinity or NaN
}

}  // namespace

bool knownBlockFormat(BlockFormat format) noexcept {
    return static_cast<std::size_t>(format) < std::size(formats);
}

std::uint64_t blockValues(BlockFormat format) noexcept {
    return knownBlockFormat(format) ? formats[static_cast<std::size_t>(format)].values : 0;
}

std::uint64_t blockBytes(BlockFormat format) noexcept {
    return knownBlockFormat(format) ? formats[static_cast<std::size_t>(format)].bytes : 0;
}

const char* blockFormatName(BlockFormat format) noexcept {
    return knownBlockFormat(format) ? formats[static_cast<std::size_t>(format)].name : "unknown";
}

void dequantizeBlock(BlockFormat format, const std::uint8_t* block, double* out,
                     std::uint64_t stride) {
    decode<double>(format, block, out, stride);
}

void dequantizeBlockFloat32(BlockFormat format, const std::uint8_t* block, float* out) {
    decode<float>(format, block, out, 1);
}

double dequantizeValue(BlockFormat format, const std::uint8_t* b, std::uint64_t v) {
    switch (format) {
        case BlockFormat::q4_0: {
            const int q = v < 16 ? b[2 + v] & 0xF : b[2 + v - 16] >> 4;
            return static_cast<double>(q - 8) * half(b);
        }
        case BlockFormat::q4_1: {
            const int q = v < 16 ? b[4 + v] & 0xF : b[4 + v - 16] >> 4;
            return static_cast<double>(q) * half(b) + half(b + 2);
        }
        case BlockFormat::q5_0:
        case BlockFormat::q5_1: {
            const bool offset = format == BlockFormat::q5_1;
            const std::uint8_t* qs = b + (offset ? 8 : 6);
            const std::uint32_t qh = word(b + (offset ? 4 : 2));
            const int low = v < 16 ? qs[v] & 0xF : qs[v - 16] >> 4;
            const int q = low | static_cast<int>(((qh >> v) & 1u) << 4);
            if (offset) return static_cast<double>(q) * half(b) + half(b + 2);
            return static_cast<double>(q - 16) * half(b);
        }
        case BlockFormat::q8_0:
            return static_cast<double>(static_cast<std::int8_t>(b[2 + v])) * half(b);
        case BlockFormat::q2_k: {
            const std::uint64_t n = v / 128, j = v % 128 / 32, h = v % 32 / 16, l = v % 16;
            const std::uint8_t sc = b[8 * n + 2 * j + h];
            const int q = (b[16 + 32 * n + 16 * h + l] >> (2 * j)) & 3;
            return half(b + 80) * static_cast<double>(sc & 0xF) * static_cast<double>(q) -
                   half(b + 82) * static_cast<double>(sc >> 4);
        }
        case BlockFormat::q3_k: {
            const std::uint64_t n = v / 128, j = v % 128 / 32, h = v % 32 / 16, l = v % 16;
            const int low = (b[32 + 32 * n + 16 * h + l] >> (2 * j)) & 3;
            const bool high = ((b[16 * h + l] >> (4 * n + j)) & 1) != 0;
            return half(b + 108) * static_cast<double>(scaleK3(8 * n + 2 * j + h, b + 96) - 32) *
                   static_cast<double>(low - (high ? 0 : 4));
        }
        case BlockFormat::q4_k:
        case BlockFormat::q5_k: {
            const bool fifth = format == BlockFormat::q5_k;
            const std::uint64_t c = v / 64, upper = v % 64 / 32, l = v % 32;
            int sc = 0;
            int mn = 0;
            scaleMinK4(2 * c + upper, b + 4, sc, mn);
            const std::uint8_t byte = b[(fifth ? 48 : 16) + 32 * c + l];
            int q = upper != 0 ? byte >> 4 : byte & 0xF;
            if (fifth) q += ((b[16 + l] >> (2 * c + upper)) & 1) << 4;
            return half(b) * static_cast<double>(sc) * static_cast<double>(q) -
                   half(b + 2) * static_cast<double>(mn);
        }
        case BlockFormat::q6_k: {
            const std::uint64_t n = v / 128, k = v % 128 / 32, l = v % 32;
            const std::uint8_t byte = b[64 * n + 32 * (k % 2) + l];
            const int low = k < 2 ? byte & 0xF : byte >> 4;
            const int high = (b[128 + 32 * n + l] >> (2 * k)) & 3;
            const auto sc = static_cast<std::int8_t>(b[192 + 8 * n + 2 * k + l / 16]);
            return half(b + 208) * static_cast<double>(sc) *
                   static_cast<double>((low | high << 4) - 32);
        }
    }
    return 0.0;
}

PackedTensor packBlocks(BlockFormat format, std::vector<std::uint64_t> shape,
                        std::vector<std::uint8_t> bytes) {
    if (!knownBlockFormat(format)) throw std::invalid_argument("unknown block format");
    if (shape.empty() || shape.size() > 2) {
        throw std::invalid_argument("quantized tensor shape is invalid");
    }
    const std::uint64_t cols = shape.back();
    const std::uint64_t rows = shape.size() == 2 ? shape[0] : 1;
    if (cols % blockValues(format) != 0) {
        throw std::invalid_argument("quantized tensor row is not a whole number of blocks");
    }
    // The value count must fit as well as the byte count: size() counts values.
    const std::optional<std::uint64_t> blocks = checkedProduct(rows, cols / blockValues(format));
    const std::optional<std::uint64_t> expected =
        blocks ? checkedProduct(*blocks, blockBytes(format)) : std::nullopt;
    if (!checkedProduct(rows, cols) || !expected || *expected != bytes.size()) {
        throw std::invalid_argument("quantized tensor byte count does not match its shape");
    }
    const HalfFields fields = halfFields(format);
    const std::uint64_t size = blockBytes(format);
    for (std::uint64_t n = 0; n < *blocks; ++n) {
        const std::uint8_t* block = bytes.data() + n * size;
        if (!finiteHalf(block + fields.first) || !finiteHalf(block + fields.second)) {
            throw std::invalid_argument("block " + std::to_string(n) +
                                        " has a scale that is not finite");
        }
    }
    PackedTensor packed;
    packed.shape = std::move(shape);
    packed.values = QuantizedBlocks{format, std::move(bytes)};
    return packed;
}

std::uint64_t float32DequantizationDifferences(const PackedTensor& tensor) {
    const auto* blocks = std::get_if<QuantizedBlocks>(&tensor.values);
    if (blocks == nullptr || !knownBlockFormat(blocks->format)) return 0;
    const std::uint64_t values = blockValues(blocks->format);
    const std::uint64_t size = blockBytes(blocks->format);
    double exact[256];
    float narrow[256];
    std::uint64_t differences = 0;
    for (std::uint64_t b = 0; b + size <= blocks->bytes.size(); b += size) {
        dequantizeBlock(blocks->format, blocks->bytes.data() + b, exact);
        dequantizeBlockFloat32(blocks->format, blocks->bytes.data() + b, narrow);
        for (std::uint64_t v = 0; v < values; ++v) {
            if (!sameBits(static_cast<double>(narrow[v]), exact[v])) ++differences;
        }
    }
    return differences;
}

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
