#pragma once

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

}  // namespace tarvel_test
