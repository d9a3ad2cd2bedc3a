#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <variant>
#include <vector>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/core/tensor.hpp"
#include "tarvel/ops/detail/panel_kernels.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// The value check a projection applies to each finished output.
using ValueCheck = double (*)(double, bool);

// A read hint for weights the kernel reaches next. It never faults and changes no value.
inline void prefetchRead(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p, 0, 2);
#else
    (void)p;
#endif
}

// Rows input rows by Outs output features, accumulated side by side so that every loaded input
// and weight serves several sums. Each sum is still its own: from 0.0, in ascending input
// order, checked once when written, so the tiling changes no bit of any output.
template <ValueCheck Check, std::uint64_t Rows, std::uint64_t Outs, typename W>
inline void projectTile(const Tensor& input, const W& weight, Tensor& out, std::uint64_t r,
                        std::uint64_t o, bool double_precision) {
    double acc[Rows][Outs] = {};
    const std::uint64_t in_dim = weight.shape[1];
    // A single-row tile streams its weights once, faster than the hardware prefetcher ramps up
    // on rows this short; so while it runs it asks for the next block of rows, one cache line
    // per column.
    const auto* weights = weight.data.data();
    const std::uint64_t next_block = (o + Outs) * in_dim;
    const auto ask = [&](std::uint64_t i) {
        // Blocks are row-major and widened value by value here: nothing to ask for.
        if constexpr (Rows == 1 && !std::is_same_v<W, WeightView<QuantizedBlocks>>) {
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

#if defined(__GNUC__)
// Two doubles in one register, one per lane. Lane arithmetic is the scalar arithmetic of each
// lane on its own: a multiply and then an add, each rounded, nothing fused or regrouped.
typedef double Lanes __attribute__((vector_size(16)));

// Rows r and r + 1 by Outs outputs, the two rows in the lanes of one register per output: the
// same sums as projectTile<2, Outs>, element for element, with half the arithmetic
// instructions.
template <ValueCheck Check, std::uint64_t Outs, typename W>
inline void projectRowPair(const Tensor& input, const W& weight, Tensor& out, std::uint64_t r,
                           std::uint64_t o, bool double_precision) {
    Lanes acc[Outs] = {};
    const std::uint64_t in_dim = weight.shape[1];
    if (in_dim != 0) {
        // Column 0 on its own, as in projectTile.
        const Lanes x = {at(input, {r, 0}), at(input, {r + 1, 0})};
        for (std::uint64_t c = 0; c < Outs; ++c) {
            const double w = at(weight, {o + c, 0});
            acc[c] = acc[c] + x * Lanes{w, w};
        }
        for (std::uint64_t i = 1; i < in_dim; ++i) {
            const Lanes xi = {at(input, {r, i}), at(input, {r + 1, i})};
            for (std::uint64_t c = 0; c < Outs; ++c) {
                const double w = at(weight, {o + c, i});
                acc[c] = acc[c] + xi * Lanes{w, w};
            }
        }
    }
    for (std::uint64_t c = 0; c < Outs; ++c) {
        at(out, {r, o + c}) = Check(acc[c][0], double_precision);
        at(out, {r + 1, o + c}) = Check(acc[c][1], double_precision);
    }
}
#else
template <ValueCheck Check, std::uint64_t Outs, typename W>
inline void projectRowPair(const Tensor& input, const W& weight, Tensor& out, std::uint64_t r,
                           std::uint64_t o, bool double_precision) {
    projectTile<Check, 2, Outs>(input, weight, out, r, o, double_precision);
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
// Four doubles in one register, for processors with AVX, chosen at run time.
typedef double WideLanes __attribute__((vector_size(32)));

inline bool wideLanesAvailable() {
    return __builtin_cpu_supports("avx");
}

// The input's rows in groups of four, interleaved: quads[q, i, lane] = input[4q + lane, i]. One
// group's four inputs of a column then lie side by side, reached from one row of one tensor.
inline Tensor interleaveRowQuads(const Tensor& input, std::uint64_t rows, std::uint64_t in_dim) {
    Tensor quads({rows / 4, in_dim, 4}, 0.0, input.double_precision);
    for (std::uint64_t q = 0; q < rows / 4; ++q) {
        for (std::uint64_t i = 0; i < in_dim; ++i) {
            for (std::uint64_t lane = 0; lane < 4; ++lane) {
                at(quads, {q, i, lane}) = at(input, {4 * q + lane, i});
            }
        }
    }
    return quads;
}

// Four rows at a time by Outs outputs, the rows in the lanes: the sums of projectRowPair, twice
// as many per instruction. Reads the rows from their interleaved copy and returns the first row
// it left for the narrower tiles. Compiled for AVX (plain multiplies and adds; AVX has no fused
// multiply-add) and called only where the processor has it; being a function of its own, it
// restates the shapes itself.
template <ValueCheck Check, std::uint64_t Outs, typename W>
__attribute__((target("avx"))) std::uint64_t projectRowQuads(const Tensor& quads, const W& weight,
                                                             Tensor& out, std::uint64_t rows,
                                                             std::uint64_t in_dim,
                                                             std::uint64_t out_dim, std::uint64_t o,
                                                             bool double_precision) {
    restateShape(quads, {rows / 4, in_dim, 4});
    restateShape(weight, {out_dim, in_dim});
    restateShape(out, {rows, out_dim});
    for (std::uint64_t q = 0; q < rows / 4; ++q) {
        WideLanes acc[Outs] = {};
        if (in_dim != 0) {
            // Column 0 on its own, as in projectTile.
            const WideLanes x = {at(quads, {q, 0, 0}), at(quads, {q, 0, 1}), at(quads, {q, 0, 2}),
                                 at(quads, {q, 0, 3})};
            for (std::uint64_t c = 0; c < Outs; ++c) {
                const double w = at(weight, {o + c, 0});
                acc[c] = acc[c] + x * WideLanes{w, w, w, w};
            }
            for (std::uint64_t i = 1; i < in_dim; ++i) {
                const WideLanes xi = {at(quads, {q, i, 0}), at(quads, {q, i, 1}),
                                      at(quads, {q, i, 2}), at(quads, {q, i, 3})};
                for (std::uint64_t c = 0; c < Outs; ++c) {
                    const double w = at(weight, {o + c, i});
                    acc[c] = acc[c] + xi * WideLanes{w, w, w, w};
                }
            }
        }
        for (std::uint64_t c = 0; c < Outs; ++c) {
            for (std::uint64_t lane = 0; lane < 4; ++lane) {
                at(out, {4 * q + lane, o + c}) = Check(acc[c][lane], double_precision);
            }
        }
    }
    return rows / 4 * 4;
}
#endif

// One block of output features against every row: the block's weight rows stay in the cache
// while the input streams past them, four rows at a time when their interleaved copy `quads` is
// there, else two.
template <ValueCheck Check, std::uint64_t Outs, typename W>
inline void projectBlock(const Tensor& input, const Tensor& quads, const W& weight, Tensor& out,
                         std::uint64_t rows, std::uint64_t in_dim, std::uint64_t out_dim,
                         std::uint64_t o, bool double_precision) {
    std::uint64_t r = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    if (!quads.data.empty()) {
        r = projectRowQuads<Check, Outs>(quads, weight, out, rows, in_dim, out_dim, o,
                                         double_precision);
    }
#else
    (void)quads;
    (void)in_dim;
    (void)out_dim;
#endif
    for (; r + 2 <= rows; r += 2) {
        projectRowPair<Check, Outs>(input, weight, out, r, o, double_precision);
    }
    if (r < rows) projectTile<Check, 1, Outs>(input, weight, out, r, o, double_precision);
}

// A projection of one row, the shape of every decode step, over outputs [o, end): eight outputs
// at once keep the adders busy while the weights stream past once. A function of its own, so
// that nothing else competes with the tile's sums for registers.
template <ValueCheck Check, typename W>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void projectOneRow(const Tensor& input, const W& weight, Tensor& out, std::uint64_t in_dim,
                   std::uint64_t out_dim, std::uint64_t o, std::uint64_t end,
                   bool double_precision) {
    restateShape(input, {1, in_dim});
    restateShape(weight, {out_dim, in_dim});
    restateShape(out, {1, out_dim});
    for (; o + 8 <= end; o += 8) {
        projectTile<Check, 1, 8>(input, weight, out, 0, o, double_precision);
    }
    for (; o + 4 <= end; o += 4) {
        projectTile<Check, 1, 4>(input, weight, out, 0, o, double_precision);
    }
    for (; o < end; ++o) projectTile<Check, 1, 1>(input, weight, out, 0, o, double_precision);
}

// Every row against outputs [o, end).
template <ValueCheck Check, typename W>
void projectRows(const Tensor& input, const Tensor& quads, const W& weight, Tensor& out,
                 std::uint64_t rows, std::uint64_t in_dim, std::uint64_t out_dim, std::uint64_t o,
                 std::uint64_t end, bool double_precision) {
    if (rows == 1) {
        projectOneRow<Check>(input, weight, out, in_dim, out_dim, o, end, double_precision);
        return;
    }
    // The caller's own shape demands, restated where the compiler sees them.
    restateShape(input, {rows, in_dim});
    restateShape(weight, {out_dim, in_dim});
    restateShape(out, {rows, out_dim});
    // Eight outputs at once keep the adders busy while the block's weights stay cached.
    for (; o + 8 <= end; o += 8) {
        projectBlock<Check, 8>(input, quads, weight, out, rows, in_dim, out_dim, o,
                               double_precision);
    }
    for (; o + 4 <= end; o += 4) {
        projectBlock<Check, 4>(input, quads, weight, out, rows, in_dim, out_dim, o,
                               double_precision);
    }
    for (; o < end; ++o) {
        projectBlock<Check, 1>(input, quads, weight, out, rows, in_dim, out_dim, o,
                               double_precision);
    }
}

// Threads take groups of eight outputs, enough of them that a piece's sums outweigh handing it
// to a thread.
inline std::uint64_t minimumGroups(std::uint64_t rows, std::uint64_t in_dim,
                                   std::uint64_t group = 8) {
    constexpr std::uint64_t piece_work = std::uint64_t{1} << 15;  // multiply-adds
    const std::uint64_t group_work =
        group * std::max<std::uint64_t>(rows, 1) * std::max<std::uint64_t>(in_dim, 1);
    return std::max<std::uint64_t>(piece_work / group_work, 1);
}

// out[r, o] = Check(sum over i ascending of input[r, i] * weight[o, i]) into a result the caller
// made {rows, out_dim}, after demanding input {rows, in_dim} and weight {out_dim, in_dim}. The
// outputs are split over the available threads in groups of eight.
template <ValueCheck Check, typename W>
void project(const Tensor& input, const W& weight, Tensor& out, std::uint64_t rows,
             std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    restateShape(input, {rows, in_dim});
    restateShape(weight, {out_dim, in_dim});
    restateShape(out, {rows, out_dim});
    Tensor quads;  // absent: no four-row tiles
#if defined(__GNUC__) && defined(__x86_64__)
    if (rows >= 4 && in_dim != 0 && wideLanesAvailable()) {
        quads = interleaveRowQuads(input, rows, in_dim);
    }
#endif
    const std::uint64_t groups = out_dim / 8 + (out_dim % 8 != 0 ? 1 : 0);
    parallelFor(groups, minimumGroups(rows, in_dim), [&](std::uint64_t begin, std::uint64_t end) {
        projectRows<Check>(input, quads, weight, out, rows, in_dim, out_dim, 8 * begin,
                           std::min(8 * end, out_dim), double_precision);
    });
}

// Block-quantized weights. Rows of blocks are widened, exactly, into doubles next to the sums that
// use them; the sums are those of the double matrix, element for element.

// Outputs accumulated side by side from one widened buffer.
inline constexpr std::uint64_t quantized_group = 8;

// acc[c] = acc[c] + x[i] * w[i * 8 + c] for i = 0 .. n - 1 in turn, for the eight c: each lane
// its own sum, a multiply and then an add, each rounded.
inline void accumulateGroup(double* acc, const double* x, const double* w, std::uint64_t n) {
#if defined(__GNUC__)
    Lanes a0 = {acc[0], acc[1]};
    Lanes a1 = {acc[2], acc[3]};
    Lanes a2 = {acc[4], acc[5]};
    Lanes a3 = {acc[6], acc[7]};
    for (std::uint64_t i = 0; i < n; ++i) {
        const Lanes xv = {x[i], x[i]};
        const double* wi = w + i * quantized_group;
        a0 = a0 + xv * Lanes{wi[0], wi[1]};
        a1 = a1 + xv * Lanes{wi[2], wi[3]};
        a2 = a2 + xv * Lanes{wi[4], wi[5]};
        a3 = a3 + xv * Lanes{wi[6], wi[7]};
    }
    const Lanes all[4] = {a0, a1, a2, a3};
    for (std::uint64_t c = 0; c < quantized_group; ++c) acc[c] = all[c / 2][c % 2];
#else
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t c = 0; c < quantized_group; ++c) {
            acc[c] = acc[c] + x[i] * w[i * quantized_group + c];
        }
    }
#endif
}

// Every input row against outputs o .. o + count - 1 (count <= 8): block column by block
// column, the outputs' blocks are widened into `buffer` (value i of output c at i * 8 + c) and
// every row's eight sums (in `acc`, rows * 8 of them) run on over it, in ascending input order.
// For one row, the decode step, the weights are read once, straight from their blocks.
template <ValueCheck Check>
void projectQuantizedGroup(const Tensor& input, const QuantizedBlocks& blocks, Tensor& out,
                           std::uint64_t rows, std::uint64_t in_dim, std::uint64_t o,
                           std::uint64_t count, double* buffer, double* acc,
                           bool double_precision) {
    const std::uint64_t values = blockValues(blocks.format);
    const std::uint64_t size = blockBytes(blocks.format);
    const std::uint64_t per_row = in_dim / values;
    std::fill(acc, acc + rows * quantized_group, 0.0);
    // Lanes past `count` sum zeros and are never stored.
    if (count < quantized_group) std::fill(buffer, buffer + values * quantized_group, 0.0);
    for (std::uint64_t b = 0; b < per_row; ++b) {
        for (std::uint64_t c = 0; c < count; ++c) {
            dequantizeBlock(blocks.format, blocks.bytes.data() + ((o + c) * per_row + b) * size,
                            buffer + c, quantized_group);
        }
        for (std::uint64_t r = 0; r < rows; ++r) {
            accumulateGroup(acc + r * quantized_group, input.data.data() + r * in_dim + b * values,
                            buffer, values);
        }
    }
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t c = 0; c < count; ++c) {
            at(out, {r, o + c}) = Check(acc[r * quantized_group + c], double_precision);
        }
    }
}

// project over block-quantized weights, with the given panel kernels (null: none). Threads take
// whole panels of outputs. Several input rows with kernels widen a full panel into panel order
// and run the kernels' double tiles on it, the widening paid once for all the rows; one row with
// kernels goes to their one-row kernel, which widens the blocks' codes in vector registers next
// to the sums; the outputs left over, or no kernels, take eight outputs at a time from blocks
// widened into a small buffer. Either way each output is summed alone, from 0.0 in ascending
// input order, and checked once: the bits of the double matrix's projection, whatever the
// thread count.
template <ValueCheck Check>
void projectQuantized(const Tensor& input, const PackedTensor& weight, Tensor& out,
                      std::uint64_t rows, std::uint64_t in_dim, std::uint64_t out_dim,
                      bool double_precision, const PanelKernels* kernels) {
    restateShape(input, {rows, in_dim});
    visitWeight(weight, [&](const auto& view) { restateShape(view, {out_dim, in_dim}); });
    restateShape(out, {rows, out_dim});
    const QuantizedBlocks& blocks = std::get<QuantizedBlocks>(weight.values);
    const std::uint64_t values = blockValues(blocks.format);
    const std::uint64_t size = blockBytes(blocks.format);
    const std::uint64_t per_row = in_dim / values;
    const std::uint64_t units = out_dim / panel_rows + (out_dim % panel_rows != 0 ? 1 : 0);
    const bool panels = kernels != nullptr && rows > 1;
    const QuantizedRowKernel row_kernel =
        kernels != nullptr && rows == 1 ? kernels->quantized_row : nullptr;
    parallelFor(units, minimumGroups(rows, in_dim, panel_rows),
                [&](std::uint64_t begin, std::uint64_t end) {
                    std::vector<double> buffer(static_cast<std::size_t>(values * quantized_group));
                    std::vector<double> acc(static_cast<std::size_t>(rows * quantized_group));
                    if (row_kernel != nullptr) {
                        // The kernel takes every whole group of eight outputs of the piece, the
                        // buffer the few past them.
                        const std::uint64_t first = begin * panel_rows;
                        const std::uint64_t last = std::min(end * panel_rows, out_dim);
                        const std::uint64_t whole =
                            first + (last - first) / quantized_group * quantized_group;
                        bool refused = false;
                        if (whole > first) {
                            row_kernel(QuantizedRowJob{
                                input.data.data(), in_dim, blocks.bytes.data(), blocks.format,
                                first, whole, out.data.data(), !double_precision, &refused});
                        }
                        for (std::uint64_t o = first; refused && o < whole; ++o) {
                            at(out, {0, o}) = Check(at(out, {0, o}), double_precision);
                        }
                        if (whole < last) {
                            projectQuantizedGroup<Check>(input, blocks, out, rows, in_dim, whole,
                                                         last - whole, buffer.data(), acc.data(),
                                                         double_precision);
                        }
                        return;
                    }
                    std::vector<double> wide;
                    std::vector<double> scratch;
                    for (std::uint64_t p = begin; p < end; ++p) {
                        const std::uint64_t first = p * panel_rows;
                        const std::uint64_t last = std::min(first + panel_rows, out_dim);
                        if (panels && last - first == panel_rows) {
                            if (wide.empty()) {
                                wide.resize(static_cast<std::size_t>(panel_rows * in_dim));
                                scratch.resize(wide.size());
                            }
                            // wide[i * panel_rows + k] = weight(first + k, i): the panel order.
                            for (std::uint64_t k = 0; k < panel_rows; ++k) {
                                for (std::uint64_t b = 0; b < per_row; ++b) {
                                    dequantizeBlock(
                                        blocks.format,
                                        blocks.bytes.data() + ((first + k) * per_row + b) * size,
                                        wide.data() + b * values * panel_rows + k, panel_rows);
                                }
                            }
                            bool refused = false;
                            kernels->of[static_cast<std::size_t>(PackedType::f64)](
                                PanelJob{input.data.data(), rows, in_dim,
                                         reinterpret_cast<const unsigned char*>(wide.data()), 0, 1,
                                         out.data.data() + first, out_dim, scratch.data(),
                                         !double_precision, &refused, 0});
                            // As for the other panels: a refused sum is found, and reported, by the
                            // check.
                            for (std::uint64_t r = 0; refused && r < rows; ++r) {
                                for (std::uint64_t o = first; o < last; ++o) {
                                    at(out, {r, o}) = Check(at(out, {r, o}), double_precision);
                                }
                            }
                            continue;
                        }
                        for (std::uint64_t o = first; o < last; o += quantized_group) {
                            projectQuantizedGroup<Check>(input, blocks, out, rows, in_dim, o,
                                                         std::min(quantized_group, last - o),
                                                         buffer.data(), acc.data(),
                                                         double_precision);
                        }
                    }
                });
}

// project over a packed weight: its panels go to the vector kernels of the
// weight's storage type where the processor has them (their sums, checked here, are those of
// the tiles), the rows past the last panel to the tiles, which widen the same values.
template <ValueCheck Check>
void project(const Tensor& input, const PackedTensor& weight, Tensor& out, std::uint64_t rows,
             std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    const PanelKernels* kernels = panelKernels();
    if (weight.type() == PackedType::quantized) {
        projectQuantized<Check>(input, weight, out, rows, in_dim, out_dim, double_precision,
                                kernels);
        return;
    }
    if (kernels == nullptr) {
        visitWeight(weight, [&](const auto& view) {
            project<Check>(input, view, out, rows, in_dim, out_dim, double_precision);
        });
        return;
    }
    restateShape(input, {rows, in_dim});
    visitWeight(weight, [&](const auto& view) { restateShape(view, {out_dim, in_dim}); });
    restateShape(out, {rows, out_dim});
    const PanelKernel kernel = kernels->of[static_cast<std::size_t>(weight.type())];
    const unsigned char* bytes = storageBytes(weight);
    const std::uint64_t panels = out_dim / panel_rows;
    const bool tail = out_dim % panel_rows != 0;
    const Tensor no_quads;
    // The threads share out units of one panel and up to four rows (a whole panel for one row),
    // so that they get equal work even when the panels do not divide evenly among them; the
    // rows past the last panel are one more unit. A piece runs at most three kernel jobs: the
    // rest of a panel another piece began, whole panels, and the start of one it leaves.
    constexpr std::uint64_t block = 4;
    const std::uint64_t blocks = rows > 1 ? (rows + block - 1) / block : 1;
    const std::uint64_t panel_units = panels * blocks;
    const auto runPanels = [&](std::uint64_t panel_begin, std::uint64_t panel_end,
                               std::uint64_t row_begin, std::uint64_t row_end,
                               std::vector<double>& scratch) {
        bool refused = false;
        kernel(PanelJob{input.data.data(), row_end, in_dim, bytes, panel_begin, panel_end,
                        out.data.data(), out_dim, scratch.data(), !double_precision, &refused,
                        row_begin});
        // The kernels checked every value they stored unless one was refused; the value
        // check then finds it, and throws with its own message.
        for (std::uint64_t r = row_begin; refused && r < row_end; ++r) {
            double* row = out.data.data() + r * out_dim;
            for (std::uint64_t o = panel_begin * panel_rows; o < panel_end * panel_rows; ++o) {
                row[o] = Check(row[o], double_precision);
            }
        }
    };
    const std::uint64_t unit_rows =
        std::min<std::uint64_t>(std::max<std::uint64_t>(rows, 1), block);
    parallelFor(
        panel_units + (tail ? 1 : 0), minimumGroups(unit_rows, in_dim, panel_rows),
        [&](std::uint64_t begin, std::uint64_t end) {
            const std::uint64_t last = std::min(end, panel_units);
            if (begin < last) {
                // Several rows read each panel widened once, into this.
                std::vector<double> scratch(rows > 1 ? static_cast<std::size_t>(panel_rows * in_dim)
                                                     : 0);
                std::uint64_t u = begin;
                while (u < last) {
                    const std::uint64_t p = u / blocks;
                    const std::uint64_t first = u % blocks;
                    if (first == 0 && last / blocks > p) {
                        runPanels(p, last / blocks, 0, rows, scratch);
                        u = last / blocks * blocks;
                        continue;
                    }
                    const std::uint64_t stop = std::min(last - p * blocks, blocks);
                    runPanels(p, p + 1, first * block, std::min(stop * block, rows), scratch);
                    u = p * blocks + stop;
                }
            }
            if (end > panel_units) {
                visitWeight(weight, [&](const auto& view) {
                    projectRows<Check>(input, no_quads, view, out, rows, in_dim, out_dim,
                                       panels * panel_rows, out_dim, double_precision);
                });
            }
        });
}

}  // namespace Nuvexis::Core::Tarvel::detail
