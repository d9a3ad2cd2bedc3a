#pragma once

#include <cstdint>

#include "tarvel/core/tensor.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core::Tarvel {

// Which value check a projection applies to its outputs.
enum class LinearVariant : std::uint8_t {
    forward,   // "transformer forward produced NaN/Inf": the full forward pass' projections
    operator_  // "transformer operator produced NaN/Inf": the feed-forward block
};

namespace detail {

// The value check a projection applies to each finished output.
using ValueCheck = double (*)(double, bool);

// A read hint for weights the kernel reaches next. It never faults and changes no value.
inline void prefetchRead(const double* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p, 0, 2);
#else
    (void)p;
#endif
}

// Rows input rows by Outs output features, accumulated side by side so that every loaded input
// and weight serves several sums. Each sum is still its own: from 0.0, in ascending input
// order, checked once when written, so the tiling changes no bit of any output.
template <ValueCheck Check, std::uint64_t Rows, std::uint64_t Outs>
inline void projectTile(const Tensor& input, const Tensor& weight, Tensor& out, std::uint64_t r,
                        std::uint64_t o, bool double_precision) {
    double acc[Rows][Outs] = {};
    const std::uint64_t in_dim = weight.shape[1];
    // A single-row tile streams its weights once, faster than the hardware prefetcher ramps up
    // on rows this short; so while it runs it asks for the next block of rows, one cache line
    // per column.
    const double* weights = weight.data.data();
    const std::uint64_t next_block = (o + Outs) * in_dim;
    const auto ask = [&](std::uint64_t i) {
        if constexpr (Rows == 1) {
            if (next_block + Outs * i < weight.data.size()) {
                prefetchRead(weights + next_block + Outs * i);
            }
        }
    };
    if (in_dim != 0) {
        // Column 0 on its own: the row checks of every later column repeat the ones made here,
        // and the loop bound settles the weight's column check.
        double x[Rows];
        double w[Outs];
        for (std::uint64_t a = 0; a < Rows; ++a) x[a] = at(input, {r + a, 0});
        for (std::uint64_t c = 0; c < Outs; ++c) w[c] = at(weight, {o + c, 0});
        ask(0);
        for (std::uint64_t a = 0; a < Rows; ++a) {
            for (std::uint64_t c = 0; c < Outs; ++c) acc[a][c] = acc[a][c] + x[a] * w[c];
        }
        for (std::uint64_t i = 1; i < in_dim; ++i) {
            ask(i);
            for (std::uint64_t a = 0; a < Rows; ++a) x[a] = at(input, {r + a, i});
            for (std::uint64_t c = 0; c < Outs; ++c) w[c] = at(weight, {o + c, i});
            for (std::uint64_t a = 0; a < Rows; ++a) {
                for (std::uint64_t c = 0; c < Outs; ++c) acc[a][c] = acc[a][c] + x[a] * w[c];
            }
        }
    }
    for (std::uint64_t a = 0; a < Rows; ++a) {
        for (std::uint64_t c = 0; c < Outs; ++c) {
            at(out, {r + a, o + c}) = Check(acc[a][c], double_precision);
        }
    }
}

// One block of output features against every row: the block's weight rows stay in the cache
// while the input streams past them.
template <ValueCheck Check, std::uint64_t Outs>
inline void projectBlock(const Tensor& input, const Tensor& weight, Tensor& out, std::uint64_t rows,
                         std::uint64_t o, bool double_precision) {
    std::uint64_t r = 0;
    for (; r + 2 <= rows; r += 2) {
        projectTile<Check, 2, Outs>(input, weight, out, r, o, double_precision);
    }
    if (r < rows) projectTile<Check, 1, Outs>(input, weight, out, r, o, double_precision);
}

// out[r, o] = Check(sum over i ascending of input[r, i] * weight[o, i]) into a result the caller
// made {rows, out_dim}, after demanding input {rows, in_dim} and weight {out_dim, in_dim}.
template <ValueCheck Check>
void project(const Tensor& input, const Tensor& weight, Tensor& out, std::uint64_t rows,
             std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    // The caller's own shape demands, restated where the compiler sees them.
    restateShape(input, {rows, in_dim});
    restateShape(weight, {out_dim, in_dim});
    restateShape(out, {rows, out_dim});
    std::uint64_t o = 0;
    if (rows == 1) {
        // A single row shares no input, so eight outputs at once keep the adders busy while
        // the weights stream past once.
        for (; o + 8 <= out_dim; o += 8) {
            projectTile<Check, 1, 8>(input, weight, out, 0, o, double_precision);
        }
    }
    for (; o + 4 <= out_dim; o += 4)
        projectBlock<Check, 4>(input, weight, out, rows, o, double_precision);
    for (; o < out_dim; ++o) projectBlock<Check, 1>(input, weight, out, rows, o, double_precision);
}

}  // namespace detail

// out[r, o] = sum over i ascending of input[r, i] * weight[o, i]; weight is [out, in].
Tensor linear(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in_dim,
              std::uint64_t out_dim, bool double_precision,
              LinearVariant variant = LinearVariant::operator_);

// The feed-forward block: up projection first, then the activation chosen by kind, then the
// down projection.
Tensor feedForward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                   const Tensor& down_weight, std::uint64_t rows, std::uint64_t model_dim,
                   std::uint64_t ffn_dim, FeedForwardKind kind, bool double_precision);

}  // namespace Nuvexis::Core::Tarvel
