#pragma once

#include <cstdint>

namespace Nuvexis::Core::Tarvel::detail {

// Rank-2 weights are stored in panels: each full group of `panel_rows` consecutive rows is kept
// column by column (the group's values of column 0, then those of column 1, ...), so that a
// kernel streams the weights of a panel's outputs from one place, one column after another.
// Rows past the last full group stay row by row. A group occupies the same storage span in both
// orders, so a tensor is arranged group by group in place. A multiple of eight: four registers
// of eight doubles.
inline constexpr std::uint64_t panel_rows = 32;

}  // namespace Nuvexis::Core::Tarvel::detail
