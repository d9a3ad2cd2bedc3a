#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/core/detail/panel_layout.hpp"
#include "tarvel/core/detail/quantized.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// A projection over panels [panel_begin, panel_end) of a packed weight (panel p holds outputs
// panel_rows * p onwards, column by column): for every input row r in [row_begin, rows) and
// output o of those panels,
//   out[r * out_stride + o] = sum over i ascending of input[r * in_dim + i] * weight(o, i),
// each sum from 0.0, one multiply and one add per term, rounded each time, in the lanes of
// vector registers. Each finished sum passes the value check's arithmetic as it is stored:
// rounded to float32 and widened back when round_to_float asks for it, then tested finite. A
// group of sums with a value that is not finite is stored as it was summed, unchecked, and
// *refused is set: the caller then runs its own value check over the outputs, which throws.
struct PanelJob {
    const double* input = nullptr;
    std::uint64_t rows = 0;
    std::uint64_t in_dim = 0;
    const unsigned char* weights = nullptr;  // the tensor's storage, in its packed type
    std::uint64_t panel_begin = 0;
    std::uint64_t panel_end = 0;
    double* out = nullptr;
    std::uint64_t out_stride = 0;
    double* scratch = nullptr;  // panel_rows * in_dim doubles, used for more than one row
    bool round_to_float = false;
    bool* refused = nullptr;  // may be null: nothing is reported
    std::uint64_t row_begin = 0;
};

using PanelKernel = void (*)(const PanelJob& job);

// One input row, the decode step, against outputs [out_begin, out_end) (a multiple of eight of
// them) of a block-quantized weight whose blocks stay as stored: for each of those outputs o,
//   out[o] = sum over i ascending of input[i] * weight(o, i),
// with weight(o, i) the block value's exact double, from 0.0, one multiply and one add per term,
// rounded each time; the sums are those of the double matrix, bit for bit. The value check's
// arithmetic and a refused group are as for PanelJob.
struct QuantizedRowJob {
    const double* input = nullptr;  // in_dim values
    std::uint64_t in_dim = 0;
    const std::uint8_t* blocks = nullptr;  // every row's blocks, row after row
    BlockFormat format = BlockFormat::q8_0;
    std::uint64_t out_begin = 0;
    std::uint64_t out_end = 0;
    double* out = nullptr;  // out[o] for each output o
    bool round_to_float = false;
    bool* refused = nullptr;  // may be null: nothing is reported
};

using QuantizedRowKernel = void (*)(const QuantizedRowJob& job);

// One kernel per storage type, in the order of PackedType: bf16, f16, f32, f64; and the one-row
// kernel over blocks.
struct PanelKernels {
    PanelKernel of[4];
    QuantizedRowKernel quantized_row;
};

// The kernels for the processor this runs on, or null where it has no vector unit they are
// built for (the callers then run the portable tiles).
const PanelKernels* panelKernels() noexcept;

// Every set of kernels this processor can run, widest first, with its name ("avx512", "avx2"):
// what a test checks one by one.
struct NamedPanelKernels {
    const char* name;
    const PanelKernels* kernels;
};
std::vector<NamedPanelKernels> availablePanelKernels();

}  // namespace Nuvexis::Core::Tarvel::detail
