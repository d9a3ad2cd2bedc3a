#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/ops/detail/projection.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

// Values of mixed sign and magnitude, so that any change of summation order or rounding point
// shows in the low bits.
Tensor valuesOf(std::uint64_t rows, std::uint64_t cols, double seed, bool double_precision) {
    Tensor t({rows, cols}, 0.0, double_precision);
    for (std::size_t e = 0; e < t.data.size(); ++e) {
        const double x = static_cast<double>(e);
        t.data[e] = std::sin(seed + 0.73 * x) * std::pow(10.0, std::fmod(x, 5.0) - 2.0);
    }
    return t;
}

// The documented projection, one output at a time: from 0.0, ascending input index, checked
// once when written.
Tensor reference(const Tensor& input, const Tensor& weight, std::uint64_t rows,
                 std::uint64_t in_dim, std::uint64_t out_dim, bool double_precision) {
    Tensor out({rows, out_dim}, 0.0, double_precision);
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t o = 0; o < out_dim; ++o) {
            double sum = 0.0;
            for (std::uint64_t i = 0; i < in_dim; ++i) {
                sum = sum + at(input, {r, i}) * at(weight, {o, i});
            }
            at(out, {r, o}) = checkOperatorValue(sum, double_precision);
        }
    }
    return out;
}

void expectSameBits(const Tensor& actual, const Tensor& expected) {
    ASSERT_EQ(actual.shape, expected.shape);
    for (std::size_t e = 0; e < expected.data.size(); ++e) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(actual.data[e]),
                  std::bit_cast<std::uint64_t>(expected.data[e]))
            << "element " << e << ": " << actual.data[e] << " vs " << expected.data[e];
    }
}

}  // namespace

// Every tiling of the projection (one-row tiles of 8, 4 and 1 outputs; two-row pairs; four-row
// interleaved tiles where the processor has AVX; the leftover rows and outputs of each) gives
// the plain loop's bits.
TEST(Projection, EveryTilingMatchesThePlainLoop) {
    const std::uint64_t in_dim = 7;
    for (const bool dp : {true, false}) {
        for (const std::uint64_t rows : {1u, 2u, 3u, 4u, 5u, 9u}) {
            for (const std::uint64_t out_dim : {1u, 4u, 8u, 13u}) {
                SCOPED_TRACE("rows " + std::to_string(rows) + ", outputs " +
                             std::to_string(out_dim) + (dp ? ", double" : ", float32"));
                const Tensor input = valuesOf(rows, in_dim, 0.3 * static_cast<double>(rows), dp);
                const Tensor weight = valuesOf(out_dim, in_dim, 1.1, dp);
                const Tensor expected = reference(input, weight, rows, in_dim, out_dim, dp);

                Tensor out({rows, out_dim}, 0.0, dp);
                detail::project<checkOperatorValue>(input, weight, out, rows, in_dim, out_dim, dp);
                expectSameBits(out, expected);

                // The row-pair and single-row tiles on their own, as on a processor without
                // AVX: every block width over every row.
                Tensor pairs({rows, out_dim}, 0.0, dp);
                std::uint64_t o = 0;
                for (; o + 8 <= out_dim; o += 8) {
                    detail::projectBlock<checkOperatorValue, 8>(input, Tensor(), weight, pairs,
                                                                rows, in_dim, out_dim, o, dp);
                }
                for (; o + 4 <= out_dim; o += 4) {
                    detail::projectBlock<checkOperatorValue, 4>(input, Tensor(), weight, pairs,
                                                                rows, in_dim, out_dim, o, dp);
                }
                for (; o < out_dim; ++o) {
                    detail::projectBlock<checkOperatorValue, 1>(input, Tensor(), weight, pairs,
                                                                rows, in_dim, out_dim, o, dp);
                }
                expectSameBits(pairs, expected);
            }
        }
    }
}
