#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tarvel/tarvel.hpp"

namespace tarvel_fuzz {

using namespace Nuvexis::Core::Tarvel;

// A broken promise: says which, and aborts so that the fuzzer keeps the input.
[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "tarvel-fuzz: %.*s%s%.*s\n", static_cast<int>(what.size()), what.data(),
                 detail.empty() ? "" : ": ", static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline bool sameBits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool sameBits(const Tensor& a, const Tensor& b) {
    if (a.shape != b.shape || a.double_precision != b.double_precision ||
        a.data.size() != b.data.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.data.size(); ++i) {
        if (!sameBits(a.data[i], b.data[i])) return false;
    }
    return true;
}

}  // namespace tarvel_fuzz
