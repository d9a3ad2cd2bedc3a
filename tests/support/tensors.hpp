#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tarvel/core/tensor.hpp"

namespace tarvel_test {

// A double-precision tensor with the given values in row-major order.
inline Nuvexis::Core::Tarvel::Tensor tensorOf(std::vector<std::uint64_t> shape,
                                              std::vector<double> values) {
    Nuvexis::Core::Tarvel::Tensor t(std::move(shape), 0.0, true);
    t.data = std::move(values);
    return t;
}

// The tensor with `count` values stored whatever its shape says (new ones 0.5): storage that
// disagrees with the shape, as a careless or hostile caller may hand it in.
inline Nuvexis::Core::Tarvel::Tensor withStorage(Nuvexis::Core::Tarvel::Tensor t,
                                                 std::size_t count) {
    t.data.resize(count, 0.5);
    return t;
}

}  // namespace tarvel_test
