#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/core/detail/panel_layout.hpp"

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

// One kernel per storage type, in the order of PackedType: bf16, f16, f32, f64.
struct PanelKernels {
    PanelKernel of[4];
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
