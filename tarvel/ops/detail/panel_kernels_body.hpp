#pragma once

// The panel kernels, written once over an instruction set `Isa` and compiled in a source file
// of its own for each set (with that set's compiler flags). Isa provides a vector type V of
// eight doubles and zero, broadcast, add, mul, store, and load<E>(bytes) widening eight stored
// values of type E exactly. Nothing else is used here, so these files share no inline function
// with the rest of the library.

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

constexpr std::uint64_t lanes = 8;

// Rows r0 .. r0 + R - 1 by panels p0 .. p0 + K - 1. Each lane of acc[a][k] is one output's sum,
// taken term by term in ascending input order.
template <class Isa, class E, std::uint64_t R, std::uint64_t K>
inline void tile(const PanelJob& job, std::uint64_t r0, std::uint64_t p0) {
    using V = typename Isa::V;
    const std::uint64_t in = job.in_dim;
    V acc[R][K];
    for (std::uint64_t a = 0; a < R; ++a) {
        for (std::uint64_t k = 0; k < K; ++k) acc[a][k] = Isa::zero();
    }
    const unsigned char* w[K];
    for (std::uint64_t k = 0; k < K; ++k) {
        w[k] = job.weights + (p0 + k) * lanes * in * E::size;
    }
    const double* x = job.input + r0 * in;
    for (std::uint64_t i = 0; i < in; ++i) {
        V wv[K];
        for (std::uint64_t k = 0; k < K; ++k)
            wv[k] = Isa::template load<E>(w[k] + i * lanes * E::size);
        for (std::uint64_t a = 0; a < R; ++a) {
            const V xv = Isa::broadcast(x[a * in + i]);
            for (std::uint64_t k = 0; k < K; ++k)
                acc[a][k] = Isa::add(acc[a][k], Isa::mul(xv, wv[k]));
        }
    }
    for (std::uint64_t a = 0; a < R; ++a) {
        for (std::uint64_t k = 0; k < K; ++k) {
            Isa::store(job.out + (r0 + a) * job.out_stride + (p0 + k) * lanes, acc[a][k]);
        }
    }
}

// All rows against panels [p, p + K): the panels' weights stay cached while the rows pass.
template <class Isa, class E, std::uint64_t K>
inline void panelGroup(const PanelJob& job, std::uint64_t p) {
    constexpr std::uint64_t R = Isa::prefill_rows;
    std::uint64_t r = 0;
    for (; r + R <= job.rows; r += R) tile<Isa, E, R, K>(job, r, p);
    for (; r < job.rows; ++r) tile<Isa, E, 1, K>(job, r, p);
}

template <class Isa, class E>
void run(const PanelJob& job) {
    std::uint64_t p = job.panel_begin;
    if (job.rows == 1) {
        // A decode step: many panels at once keep the adders busy while the weights stream.
        constexpr std::uint64_t K = Isa::decode_panels;
        for (; p + K <= job.panel_end; p += K) tile<Isa, E, 1, K>(job, 0, p);
        for (; p < job.panel_end; ++p) tile<Isa, E, 1, 1>(job, 0, p);
        return;
    }
    constexpr std::uint64_t K = Isa::prefill_panels;
    for (; p + K <= job.panel_end; p += K) panelGroup<Isa, E, K>(job, p);
    for (; p < job.panel_end; ++p) panelGroup<Isa, E, 1>(job, p);
}

template <class Isa>
constexpr PanelKernels kernelsOf() {
    return PanelKernels{
        {&run<Isa, Bf16Bits>, &run<Isa, F16Bits>, &run<Isa, F32Bits>, &run<Isa, F64Bits>}};
}

}  // namespace Nuvexis::Core::Tarvel::detail::panel_body
