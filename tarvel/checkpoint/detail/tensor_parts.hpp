#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/core/detail/packed.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Rows [first, first + rows) of a stored tensor and the packed tensor they become. A stored
// tensor is one part, or several when the layout fuses projections (Phi-3's fused q, k and v,
// and gate and up), split at load.
struct TensorPart {
    PackedTensor* target = nullptr;
    std::uint64_t first = 0;
    std::uint64_t rows = 0;
    // Non-zero: each head of this width is stored in half-split rotary order: its rows, or for
    // a vector (a bias, a head norm) its values, are brought back to adjacent pairs.
    std::uint64_t rotary_head_dim = 0;
};

// One tensor the config implies, with where its values go.
struct ExpectedTensor {
    std::string name;
    std::vector<std::uint64_t> shape;  // {rows, columns} or {values}
    std::vector<TensorPart> parts;
};

// A stored tensor that is one weight whole: a matrix's rows, or a vector as one row.
inline ExpectedTensor wholeTensor(std::string name, std::vector<std::uint64_t> shape,
                                  PackedTensor* target, std::uint64_t rotary_head_dim = 0) {
    const std::uint64_t rows = shape.size() == 2 ? shape[0] : 1;
    return {std::move(name), std::move(shape), {TensorPart{target, 0, rows, rotary_head_dim}}};
}

// The stored row that holds row r of the part.
inline std::uint64_t storedRow(const ExpectedTensor& e, const TensorPart& part, std::uint64_t r) {
    const bool vector = e.shape.size() == 1;
    return part.first +
           (part.rotary_head_dim != 0 && !vector ? halfSplitRow(r, part.rotary_head_dim) : r);
}

// Rows of a part taken together before their stored bytes are let go: about a mebibyte of
// `row_bytes` rows, whole heads when the rows are reordered within heads, so that a run of
// rows comes from the same run of stored rows.
inline std::uint64_t releaseRun(const TensorPart& part, std::uint64_t row_bytes) {
    std::uint64_t rows = std::max<std::uint64_t>(
        (std::uint64_t{1} << 20) / std::max<std::uint64_t>(row_bytes, 1), 1);
    const std::uint64_t head = part.rotary_head_dim;
    if (head != 0) rows = (rows + head - 1) / head * head;
    return rows;
}

// One part packed row by row from its stored rows, in the narrowest type that holds every value
// exactly: no copy of the whole tensor as doubles is ever made. widen(stored_row, out) writes
// the exact values of a stored row; the first pass checks them (not_finite() is called, and
// must throw, at the first NaN or infinity) and picks the type, the second stores them and
// calls release(first, end) (when given) once stored rows [first, end) are no longer needed, so
// that a mapped file's pages need not stay resident beside their packed copy.
inline PackedTensor packRows(const ExpectedTensor& e, const TensorPart& part,
                             const std::function<void(std::uint64_t, std::span<double>)>& widen,
                             const std::function<void()>& not_finite,
                             const std::function<void(std::uint64_t, std::uint64_t)>& release = {},
                             std::uint64_t stored_row_bytes = 0) {
    const bool vector = e.shape.size() == 1;
    const std::uint64_t columns = vector ? e.shape[0] : e.shape[1];
    std::vector<double> row(static_cast<std::size_t>(columns));
    std::vector<double> stored(vector && part.rotary_head_dim != 0 ? row.size() : 0);
    const auto readRow = [&](std::uint64_t r) {
        widen(storedRow(e, part, r), stored.empty() ? std::span<double>(row) : stored);
        for (std::uint64_t i = 0; i < stored.size(); ++i) {
            row[i] = stored[halfSplitRow(i, part.rotary_head_dim)];
        }
    };
    ExactTypes types;
    for (std::uint64_t r = 0; r < part.rows; ++r) {
        readRow(r);
        for (const double value : row) {
            if (!std::isfinite(value)) not_finite();
        }
        types.add(row);
    }
    std::vector<std::uint64_t> shape = e.shape;
    if (!vector) shape[0] = part.rows;
    PackedTensor tensor =
        emptyPacked(shape, types.narrowest(), static_cast<std::size_t>(part.rows * columns));
    const std::uint64_t run = releaseRun(part, stored_row_bytes);
    for (std::uint64_t r = 0; r < part.rows; ++r) {
        readRow(r);
        appendPacked(tensor, row);
        if (release && !vector && ((r + 1) % run == 0 || r + 1 == part.rows)) {
            const std::uint64_t begin = r / run * run;
            release(part.first + begin, part.first + r + 1);
        }
    }
    arrangePanels(tensor);
    return tensor;
}

}  // namespace Nuvexis::Core::Tarvel::detail
