#pragma once

// The panel kernels, written once over an instruction set `Isa` and compiled in a source file
// of its own for each set (with that set's compiler flags). Isa provides a vector type V of
// eight doubles, the rows R it takes at once, and zero, broadcast, add, mul, store,
// load<E>(bytes) widening eight stored values of type E exactly, roundToFloat (each lane rounded
// to float32 and widened back) and finite (every lane finite). Nothing else is used here but
// the compiler's prefetch builtin, so these files share no inline function with the rest of the
// library.

#include <cstdint>

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

template <class Isa>
constexpr PanelKernels kernelsOf() {
    return PanelKernels{
        {&run<Isa, Bf16Bits>, &run<Isa, F16Bits>, &run<Isa, F32Bits>, &run<Isa, F64Bits>}};
}

}  // namespace Nuvexis::Core::Tarvel::detail::panel_body
