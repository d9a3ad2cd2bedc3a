#pragma once

// The panel kernels, written once over an instruction set `Isa` and compiled in a source file
// of its own for each set (with that set's compiler flags). Isa provides a vector type V of
// eight doubles, the rows R it takes at once, and zero, broadcast, add, sub, mul, store,
// load<E>(bytes) widening eight stored values of type E exactly, codes(p) widening eight signed
// bytes, half(bits) widening a binary16 exactly, roundToFloat (each lane rounded to float32 and
// widened back) and finite (every lane finite). Nothing else is used here but the compiler's
// prefetch builtin and SSE2's byte shuffles, so these files share no inline function with the
// rest of the library (everything here is a template over Isa).

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "tarvel/ops/detail/panel_kernels.hpp"

namespace Nuvexis::Core::Tarvel::detail::panel_body {

// Storage types as the kernels see them: the byte size of one value.
struct Bf16Bits {
    static constexpr std::uint64_t size = 2;
};
struct F16Bits {
    static constexpr std::uint64_t size = 2;
};
struct F32Bits {
    static constexpr std::uint64_t size = 4;
};
struct F64Bits {
    static constexpr std::uint64_t size = 8;
};

constexpr std::uint64_t lanes = 8;                     // doubles in one V
constexpr std::uint64_t vectors = panel_rows / lanes;  // Vs across one panel

// Rows r0 .. r0 + R - 1 against panel p, whose weights stream from w, column after column. Each
// lane of acc[a][k] is one output's sum, taken term by term in ascending input order. When
// `ahead` is set, the stored bytes of the next panel (`ahead_column` bytes a column) are fetched
// into the cache meanwhile, so that widening it does not wait on memory.
template <class Isa, class E, std::uint64_t R>
inline void tile(const PanelJob& job, std::uint64_t r0, std::uint64_t p, const unsigned char* w,
                 const unsigned char* ahead = nullptr, std::uint64_t ahead_column = 0) {
    using V = typename Isa::V;
    const std::uint64_t in = job.in_dim;
    V acc[R][vectors];
    for (std::uint64_t a = 0; a < R; ++a) {
        for (std::uint64_t k = 0; k < vectors; ++k) acc[a][k] = Isa::zero();
    }
    const double* x = job.input + r0 * in;
    for (std::uint64_t i = 0; i < in; ++i) {
        if (ahead != nullptr) {
            for (std::uint64_t b = 0; b < ahead_column; b += 64) {
                __builtin_prefetch(ahead + i * ahead_column + b, 0, 2);
            }
        }
        V wv[vectors];
        for (std::uint64_t k = 0; k < vectors; ++k) {
            wv[k] = Isa::template load<E>(w + (i * panel_rows + k * lanes) * E::size);
        }
        for (std::uint64_t a = 0; a < R; ++a) {
            const V xv = Isa::broadcast(x[a * in + i]);
            for (std::uint64_t k = 0; k < vectors; ++k) {
                acc[a][k] = Isa::add(acc[a][k], Isa::mul(xv, wv[k]));
            }
        }
    }
    // The value check's arithmetic: float32 rounding when asked, and a finite result.
    bool finite = true;
    for (std::uint64_t a = 0; a < R; ++a) {
        for (std::uint64_t k = 0; k < vectors; ++k) {
            const V checked = job.round_to_float ? Isa::roundToFloat(acc[a][k]) : acc[a][k];
            finite = Isa::finite(checked) && finite;
            Isa::store(job.out + (r0 + a) * job.out_stride + p * panel_rows + k * lanes, checked);
        }
    }
    if (finite) return;
    for (std::uint64_t a = 0; a < R; ++a) {
        for (std::uint64_t k = 0; k < vectors; ++k) {
            Isa::store(job.out + (r0 + a) * job.out_stride + p * panel_rows + k * lanes, acc[a][k]);
        }
    }
    if (job.refused != nullptr) *job.refused = true;
}

// A panel widened into job.scratch, column by column as stored: the exact double values.
template <class Isa, class E>
inline void widenPanel(const PanelJob& job, const unsigned char* w) {
    for (std::uint64_t v = 0; v < job.in_dim * vectors; ++v) {
        Isa::store(job.scratch + v * lanes, Isa::template load<E>(w + v * lanes * E::size));
    }
}

// Rows [row_begin, rows) against panels [panel_begin, panel_end). One row streams each panel's
// weights straight from storage; several rows read it widened once into the scratch, so that the
// conversion is paid once per panel, not once per group of rows.
template <class Isa, class E>
void run(const PanelJob& job) {
    constexpr std::uint64_t R = Isa::rows;
    for (std::uint64_t p = job.panel_begin; p < job.panel_end; ++p) {
        const unsigned char* w = job.weights + p * panel_rows * job.in_dim * E::size;
        if (job.row_begin >= job.rows) return;
        if (job.rows - job.row_begin == 1) {
            tile<Isa, E, 1>(job, job.row_begin, p, w);
            continue;
        }
        widenPanel<Isa, E>(job, w);
        const auto* widened = reinterpret_cast<const unsigned char*>(job.scratch);
        const unsigned char* next =
            p + 1 < job.panel_end ? w + panel_rows * job.in_dim * E::size : nullptr;
        std::uint64_t r = job.row_begin;
        if (r + R <= job.rows) {
            tile<Isa, F64Bits, R>(job, r, p, widened, next, panel_rows * E::size);
            r += R;
        }
        for (; r + R <= job.rows; r += R) tile<Isa, F64Bits, R>(job, r, p, widened);
        for (; r < job.rows; ++r) tile<Isa, F64Bits, 1>(job, r, p, widened);
    }
}

// Block-quantized weights, one input row. Every format's value is scale * code - offset: a
// small signed integer code, and a scale and an offset shared by a group of values of one row
// (offset 0 and no subtraction where the formula has none). Both are the formula's own exact
// products, so each value has exactly the bits of the widened double matrix. For G outputs at a
// time, each block column's codes are decoded row by row, transposed so that the G outputs' codes
// of one input lie side by side, and widened eight at a time into the lanes of the sums.

template <BlockFormat F>
struct BlockShape;
template <>
struct BlockShape<BlockFormat::q4_0> {
    static constexpr std::uint64_t values = 32, bytes = 18, group = 32;
    static constexpr bool offset = false;
};
template <>
struct BlockShape<BlockFormat::q4_1> {
    static constexpr std::uint64_t values = 32, bytes = 20, group = 32;
    static constexpr bool offset = true;
};
template <>
struct BlockShape<BlockFormat::q5_0> {
    static constexpr std::uint64_t values = 32, bytes = 22, group = 32;
    static constexpr bool offset = false;
};
template <>
struct BlockShape<BlockFormat::q5_1> {
    static constexpr std::uint64_t values = 32, bytes = 24, group = 32;
    static constexpr bool offset = true;
};
template <>
struct BlockShape<BlockFormat::q8_0> {
    static constexpr std::uint64_t values = 32, bytes = 34, group = 32;
    static constexpr bool offset = false;
};
template <>
struct BlockShape<BlockFormat::q2_k> {
    static constexpr std::uint64_t values = 256, bytes = 84, group = 16;
    static constexpr bool offset = true;
};
template <>
struct BlockShape<BlockFormat::q3_k> {
    static constexpr std::uint64_t values = 256, bytes = 110, group = 16;
    static constexpr bool offset = false;
};
template <>
struct BlockShape<BlockFormat::q4_k> {
    static constexpr std::uint64_t values = 256, bytes = 144, group = 32;
    static constexpr bool offset = true;
};
template <>
struct BlockShape<BlockFormat::q5_k> {
    static constexpr std::uint64_t values = 256, bytes = 176, group = 32;
    static constexpr bool offset = true;
};
template <>
struct BlockShape<BlockFormat::q6_k> {
    static constexpr std::uint64_t values = 256, bytes = 210, group = 16;
    static constexpr bool offset = false;
};

template <class Isa>
inline double halfAt(const std::uint8_t* p) {
    return Isa::half(static_cast<std::uint16_t>(p[0] | p[1] << 8));
}

// One block of one row: its codes in value order to q[0 .. values), each group's scale and
// offset to scale[g * stride] and offset[g * stride]. The bit layouts are those of
// dequantizeBlock; so are the products, q4_1's and q5_1's "+ m" being "- (-m)", the same sum.
template <class Isa, BlockFormat F>
inline void decodeCodes(const std::uint8_t* b, std::int8_t* q, double* scale, double* offset,
                        std::uint64_t stride) {
    const auto code = [](int value) { return static_cast<std::int8_t>(value); };
    if constexpr (F == BlockFormat::q4_0 || F == BlockFormat::q4_1) {
        constexpr bool m = F == BlockFormat::q4_1;
        const std::uint8_t* qs = b + (m ? 4 : 2);
        const int shift = m ? 0 : 8;
        for (std::uint64_t j = 0; j < 16; ++j) {
            q[j] = code((qs[j] & 0xF) - shift);
            q[j + 16] = code((qs[j] >> 4) - shift);
        }
        scale[0] = halfAt<Isa>(b);
        if constexpr (m) offset[0] = -halfAt<Isa>(b + 2);
    } else if constexpr (F == BlockFormat::q5_0 || F == BlockFormat::q5_1) {
        constexpr bool m = F == BlockFormat::q5_1;
        const std::uint8_t* h = b + (m ? 4 : 2);
        const std::uint32_t qh = std::uint32_t{h[0]} | std::uint32_t{h[1]} << 8 |
                                 std::uint32_t{h[2]} << 16 | std::uint32_t{h[3]} << 24;
        const std::uint8_t* qs = b + (m ? 8 : 6);
        const int shift = m ? 0 : 16;
        for (std::uint64_t j = 0; j < 16; ++j) {
            q[j] = code(((qs[j] & 0xF) | static_cast<int>(((qh >> j) & 1u) << 4)) - shift);
            q[j + 16] =
                code(((qs[j] >> 4) | static_cast<int>(((qh >> (j + 16)) & 1u) << 4)) - shift);
        }
        scale[0] = halfAt<Isa>(b);
        if constexpr (m) offset[0] = -halfAt<Isa>(b + 2);
    } else if constexpr (F == BlockFormat::q8_0) {
        std::memcpy(q, b + 2, 32);
        scale[0] = halfAt<Isa>(b);
    } else if constexpr (F == BlockFormat::q2_k) {
        const double d = halfAt<Isa>(b + 80);
        const double dmin = halfAt<Isa>(b + 82);
        for (std::uint64_t g = 0; g < 16; ++g) {
            scale[g * stride] = d * static_cast<double>(b[g] & 0xF);
            offset[g * stride] = dmin * static_cast<double>(b[g] >> 4);
        }
        // Values 128n + 32j + l: bits 2j of byte 16 + 32n + l.
        for (std::uint64_t n = 0; n < 2; ++n) {
            for (std::uint64_t j = 0; j < 4; ++j) {
                const std::uint8_t* qs = b + 16 + 32 * n;
                std::int8_t* y = q + 128 * n + 32 * j;
                for (std::uint64_t l = 0; l < 32; ++l) y[l] = code((qs[l] >> (2 * j)) & 3);
            }
        }
    } else if constexpr (F == BlockFormat::q3_k) {
        const double d = halfAt<Isa>(b + 108);
        const std::uint8_t* s = b + 96;
        for (std::uint64_t k = 0; k < 16; ++k) {
            const int low = k < 8 ? s[k] & 0xF : s[k - 8] >> 4;
            const int high = (s[8 + k % 4] >> (2 * (k / 4))) & 3;
            scale[k * stride] = d * static_cast<double>((low | high << 4) - 32);
        }
        // Values 128n + 32j + l: bits 2j of qs byte 32n + l, less 4 where bit 4n + j of hmask
        // byte l is clear.
        for (std::uint64_t n = 0; n < 2; ++n) {
            for (std::uint64_t j = 0; j < 4; ++j) {
                const std::uint8_t* qs = b + 32 + 32 * n;
                std::int8_t* y = q + 128 * n + 32 * j;
                const std::uint64_t bit = 4 * n + j;
                for (std::uint64_t l = 0; l < 32; ++l) {
                    y[l] = code(((qs[l] >> (2 * j)) & 3) - 4 + 4 * ((b[l] >> bit) & 1));
                }
            }
        }
    } else if constexpr (F == BlockFormat::q4_k || F == BlockFormat::q5_k) {
        constexpr bool fifth = F == BlockFormat::q5_k;
        const double d = halfAt<Isa>(b);
        const double dmin = halfAt<Isa>(b + 2);
        // The twelve scale bytes as three words (bytes 0-3, 4-7, 8-11): groups 0-3 in the low
        // six bits of bytes 0-3 and 4-7, groups 4-7 in the nibbles of bytes 8-11 with their top
        // two bits in the top bits of bytes 0-3 and 4-7. Read whole, not byte by byte.
        std::uint32_t w[3];
        std::memcpy(w, b + 4, sizeof w);
        for (std::uint64_t j = 0; j < 4; ++j) {
            const auto at = static_cast<unsigned>(8 * j);
            const std::uint32_t sc_low = (w[0] >> at) & 63;
            const std::uint32_t mn_low = (w[1] >> at) & 63;
            const std::uint32_t sc_high = ((w[2] >> at) & 0xF) | ((w[0] >> (at + 6)) & 3) << 4;
            const std::uint32_t mn_high = ((w[2] >> (at + 4)) & 0xF) | ((w[1] >> (at + 6)) & 3)
                                                                           << 4;
            scale[j * stride] = d * static_cast<double>(sc_low);
            offset[j * stride] = dmin * static_cast<double>(mn_low);
            scale[(j + 4) * stride] = d * static_cast<double>(sc_high);
            offset[(j + 4) * stride] = dmin * static_cast<double>(mn_high);
        }
        // Values 64c + l and 64c + 32 + l: the low and high nibble of qs byte 32c + l; Q5_K's
        // fifth bits are bits 2c and 2c + 1 of qh byte l. Sixteen at a time.
        const __m128i nibble = _mm_set1_epi8(0xF);
        const __m128i one = _mm_set1_epi8(1);
        const std::uint8_t* qh = b + 16;
        const std::uint8_t* qs = b + (fifth ? 48 : 16);
        for (std::uint64_t c = 0; c < 4; ++c) {
            for (std::uint64_t l = 0; l < 32; l += 16) {
                const __m128i bytes =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(qs + 32 * c + l));
                __m128i q0 = _mm_and_si128(bytes, nibble);
                __m128i q1 = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
                if constexpr (fifth) {
                    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qh + l));
                    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(2 * c));
                    const __m128i h0 = _mm_and_si128(_mm_srl_epi16(h, shift), one);
                    const __m128i h1 =
                        _mm_and_si128(_mm_srl_epi16(_mm_srli_epi16(h, 1), shift), one);
                    q0 = _mm_or_si128(q0, _mm_slli_epi16(h0, 4));
                    q1 = _mm_or_si128(q1, _mm_slli_epi16(h1, 4));
                }
                _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 64 * c + l), q0);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 64 * c + 32 + l), q1);
            }
        }
    } else {
        static_assert(F == BlockFormat::q6_k);
        const double d = halfAt<Isa>(b + 208);
        for (std::uint64_t g = 0; g < 16; ++g) {
            scale[g * stride] = d * static_cast<double>(static_cast<std::int8_t>(b[192 + g]));
        }
        // Values 128n + 32k + l: nibble k / 2 of ql byte 64n + 32 * (k % 2) + l, the top two
        // bits at bit 2k of qh byte 32n + l; sixteen at a time.
        const __m128i nibble = _mm_set1_epi8(0xF);
        const __m128i two = _mm_set1_epi8(3);
        const __m128i bias = _mm_set1_epi8(32);
        for (std::uint64_t n = 0; n < 2; ++n) {
            for (std::uint64_t k = 0; k < 4; ++k) {
                for (std::uint64_t l = 0; l < 32; l += 16) {
                    const __m128i ql = _mm_loadu_si128(
                        reinterpret_cast<const __m128i*>(b + 64 * n + 32 * (k % 2) + l));
                    const __m128i qh =
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 128 + 32 * n + l));
                    const __m128i low = _mm_and_si128(k < 2 ? ql : _mm_srli_epi16(ql, 4), nibble);
                    const __m128i high = _mm_slli_epi16(
                        _mm_and_si128(_mm_srl_epi16(qh, _mm_cvtsi32_si128(static_cast<int>(2 * k))),
                                      two),
                        4);
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 128 * n + 32 * k + l),
                                     _mm_sub_epi8(_mm_or_si128(low, high), bias));
                }
            }
        }
    }
}

// rows[c * values + i] to out[(c / 8 * values + i) * 8 + c % 8]: each eight rows' codes of one
// input side by side, eight rows by sixteen inputs at a time through byte, word and doubleword
// interleaves.
template <class Isa, std::uint64_t G, std::uint64_t values>
inline void transposeCodes(const std::int8_t* rows, std::int8_t* out) {
    for (std::uint64_t c = 0; c < G; c += 8) {
        for (std::uint64_t i = 0; i < values; i += 16) {
            __m128i a[8];
            for (std::uint64_t r = 0; r < 8; ++r) {
                a[r] =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + (c + r) * values + i));
            }
            __m128i t[8];
            for (std::uint64_t r = 0; r < 4; ++r) {
                t[2 * r] = _mm_unpacklo_epi8(a[2 * r], a[2 * r + 1]);
                t[2 * r + 1] = _mm_unpackhi_epi8(a[2 * r], a[2 * r + 1]);
            }
            // u[4h + k]: rows 4h .. 4h + 3, inputs 4k .. 4k + 3.
            __m128i u[8];
            for (std::uint64_t h = 0; h < 2; ++h) {
                u[4 * h] = _mm_unpacklo_epi16(t[4 * h], t[4 * h + 2]);
                u[4 * h + 1] = _mm_unpackhi_epi16(t[4 * h], t[4 * h + 2]);
                u[4 * h + 2] = _mm_unpacklo_epi16(t[4 * h + 1], t[4 * h + 3]);
                u[4 * h + 3] = _mm_unpackhi_epi16(t[4 * h + 1], t[4 * h + 3]);
            }
            for (std::uint64_t k = 0; k < 4; ++k) {
                // Inputs 4k, 4k + 1 and 4k + 2, 4k + 3, all eight rows each.
                const __m128i lo = _mm_unpacklo_epi32(u[k], u[4 + k]);
                const __m128i hi = _mm_unpackhi_epi32(u[k], u[4 + k]);
                std::int8_t* y = out + (c * values + (i + 4 * k) * 8);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(y), lo);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 16), hi);
            }
        }
    }
}

// One block column of the sums acc of 8 * NV outputs, from their transposed codes and their
// groups' scales and offsets. A function of its own, so that the sums keep their registers
// while the decoding around it competes for them.
template <class Isa, BlockFormat F, std::uint64_t NV>
__attribute__((noinline)) void accumulateBlock(typename Isa::V* sums, const double* x,
                                               const std::int8_t* codes, const double* scale,
                                               const double* offset) {
    using V = typename Isa::V;
    using S = BlockShape<F>;
    constexpr std::uint64_t G = NV * lanes;
    V acc[NV];
    for (std::uint64_t k = 0; k < NV; ++k) acc[k] = sums[k];
    for (std::uint64_t g = 0; g < S::values / S::group; ++g) {
        V sv[NV];
        V ov[NV];
        for (std::uint64_t k = 0; k < NV; ++k) {
            sv[k] = Isa::template load<F64Bits>(
                reinterpret_cast<const unsigned char*>(scale + g * G + k * lanes));
            if constexpr (S::offset) {
                ov[k] = Isa::template load<F64Bits>(
                    reinterpret_cast<const unsigned char*>(offset + g * G + k * lanes));
            }
        }
        for (std::uint64_t i = g * S::group; i < (g + 1) * S::group; ++i) {
            const V xv = Isa::broadcast(x[i]);
            for (std::uint64_t k = 0; k < NV; ++k) {
                V w = Isa::mul(sv[k], Isa::codes(codes + (k * S::values + i) * lanes));
                if constexpr (S::offset) w = Isa::sub(w, ov[k]);
                acc[k] = Isa::add(acc[k], Isa::mul(xv, w));
            }
        }
    }
    for (std::uint64_t k = 0; k < NV; ++k) sums[k] = acc[k];
}

// Outputs o .. o + 8 * NV - 1 of job, NV registers of sums side by side.
template <class Isa, BlockFormat F, std::uint64_t NV>
void quantizedOutputs(const QuantizedRowJob& job, std::uint64_t o) {
    using V = typename Isa::V;
    using S = BlockShape<F>;
    constexpr std::uint64_t G = NV * lanes;
    constexpr std::uint64_t groups = S::values / S::group;
    const std::uint64_t per_row = job.in_dim / S::values;
    alignas(64) std::int8_t rows[G * S::values];
    alignas(64) std::int8_t codes[S::values * G];
    alignas(64) double scale[groups * G];
    alignas(64) double offset[groups * G];
    V acc[NV];
    for (std::uint64_t k = 0; k < NV; ++k) acc[k] = Isa::zero();
    const std::uint8_t* first = job.blocks + o * per_row * S::bytes;
    const std::uint64_t row_bytes = per_row * S::bytes;
    for (std::uint64_t b = 0; b < per_row; ++b) {
        for (std::uint64_t c = 0; c < G; ++c) {
            const std::uint8_t* block = first + c * row_bytes + b * S::bytes;
            // The rows stream side by side, too many for the hardware to follow: ask for the
            // next blocks meanwhile.
            if (b + 2 < per_row) {
                for (std::uint64_t line = 0; line < S::bytes + 63; line += 64) {
                    __builtin_prefetch(block + S::bytes + line, 0, 2);
                }
            }
            decodeCodes<Isa, F>(block, rows + c * S::values, scale + c, offset + c, G);
        }
        transposeCodes<Isa, G, S::values>(rows, codes);
        accumulateBlock<Isa, F, NV>(acc, job.input + b * S::values, codes, scale, offset);
    }
    bool finite = true;
    for (std::uint64_t k = 0; k < NV; ++k) {
        const V checked = job.round_to_float ? Isa::roundToFloat(acc[k]) : acc[k];
        finite = Isa::finite(checked) && finite;
        Isa::store(job.out + o + k * lanes, checked);
    }
    if (finite) return;
    for (std::uint64_t k = 0; k < NV; ++k) Isa::store(job.out + o + k * lanes, acc[k]);
    if (job.refused != nullptr) *job.refused = true;
}

// Thirty-two outputs at a time (four registers of independent sums hide the adds' latency),
// then eight.
template <class Isa, BlockFormat F>
void quantizedRowOf(const QuantizedRowJob& job) {
    std::uint64_t o = job.out_begin;
    for (; o + 4 * lanes <= job.out_end; o += 4 * lanes) quantizedOutputs<Isa, F, 4>(job, o);
    for (; o + lanes <= job.out_end; o += lanes) quantizedOutputs<Isa, F, 1>(job, o);
}

template <class Isa>
void quantizedRow(const QuantizedRowJob& job) {
    switch (job.format) {
        case BlockFormat::q4_0:
            return quantizedRowOf<Isa, BlockFormat::q4_0>(job);
        case BlockFormat::q4_1:
            return quantizedRowOf<Isa, BlockFormat::q4_1>(job);
        case BlockFormat::q5_0:
            return quantizedRowOf<Isa, BlockFormat::q5_0>(job);
        case BlockFormat::q5_1:
            return quantizedRowOf<Isa, BlockFormat::q5_1>(job);
        case BlockFormat::q8_0:
            return quantizedRowOf<Isa, BlockFormat::q8_0>(job);
        case BlockFormat::q2_k:
            return quantizedRowOf<Isa, BlockFormat::q2_k>(job);
        case BlockFormat::q3_k:
            return quantizedRowOf<Isa, BlockFormat::q3_k>(job);
        case BlockFormat::q4_k:
            return quantizedRowOf<Isa, BlockFormat::q4_k>(job);
        case BlockFormat::q5_k:
            return quantizedRowOf<Isa, BlockFormat::q5_k>(job);
        case BlockFormat::q6_k:
            return quantizedRowOf<Isa, BlockFormat::q6_k>(job);
    }
}

template <class Isa>
constexpr PanelKernels kernelsOf() {
    return PanelKernels{
        {&run<Isa, Bf16Bits>, &run<Isa, F16Bits>, &run<Isa, F32Bits>, &run<Isa, F64Bits>},
        &quantizedRow<Isa>};
}

}  // namespace Nuvexis::Core::Tarvel::detail::panel_body
