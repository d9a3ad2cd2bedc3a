#pragma once

#include <cstdint>
#include <vector>

namespace tarvel_fuzz {

// Edits a few fields of a snapshot (counts, shapes, offsets, names, dtypes, bindings, tail
// fields, token ids, cache values, layout) and seals it again: the tensor checksums and the
// global checksum are recomputed, except now and then on purpose, so that restores get past the
// checksums to the checks behind them. Input that does not parse as a snapshot is replaced by a
// catalogue snapshot first. The same input and seed give the same output.
std::vector<std::uint8_t> mutateSnapshot(const std::vector<std::uint8_t>& input,
                                         std::uint32_t seed);

}  // namespace tarvel_fuzz
