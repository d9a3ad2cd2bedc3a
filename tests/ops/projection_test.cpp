#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/parallel.hpp"
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

namespace {

using detail::PackedType;

double bf16Rounded(double x) {
    // float32 rounding, then the upper half of its pattern rounded to nearest, ties to even.
    std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(x));
    bits += 0x7FFFu + ((bits >> 16) & 1u);
    return static_cast<double>(std::bit_cast<float>(bits & 0xFFFF0000u));
}

// Weights whose narrowest exact type is `type`, of mixed sign and magnitude. The bf16 ones give
// every third output nothing but float32 subnormals, whose sums a widening that flushed them to
// zero would lose.
Tensor weightOf(PackedType type, std::uint64_t out_dim, std::uint64_t in_dim) {
    Tensor w = valuesOf(out_dim, in_dim, 1.1, true);
    for (std::size_t e = 0; e < w.data.size(); ++e) {
        double& x = w.data[e];
        switch (type) {
            case PackedType::bf16:
                x = (e / in_dim) % 3 == 2
                        ? static_cast<double>(e % 127 + 1) * 0x1p-133 * (e % 2 == 0 ? 1.0 : -1.0)
                        : bf16Rounded(x);
                break;
            case PackedType::f16:
                // Eleven significant bits at most, well inside the binary16 range.
                x = std::round(std::sin(1.1 + 0.73 * static_cast<double>(e)) * 2047.0) *
                    std::ldexp(1.0, static_cast<int>(e % 5) - 12);
                break;
            case PackedType::f32:
                x = static_cast<double>(static_cast<float>(x));
                break;
            case PackedType::f64:
            case PackedType::quantized:
                break;
        }
    }
    return w;
}

// Every finite binary16 value, both zeros and every subnormal included, in pattern order:
// 63488 values, 64 to an output.
Tensor everyFiniteF16() {
    std::vector<double> values;
    for (std::uint32_t bits = 0; bits < 0x10000u; ++bits) {
        const std::uint32_t exponent = (bits >> 10) & 31u;
        const double fraction = static_cast<double>(bits & 1023u);
        if (exponent == 31) continue;
        const double magnitude =
            exponent == 0 ? std::ldexp(fraction, -24)
                          : std::ldexp(1024.0 + fraction, static_cast<int>(exponent) - 25);
        values.push_back((bits & 0x8000u) != 0 ? -magnitude : magnitude);
    }
    Tensor w({values.size() / 64, 64}, 0.0, true);
    w.data = values;
    return w;
}

// The projection over a packed weight, on `threads` threads: the vector kernels where the
// processor has them, else the portable tiles.
Tensor projectPacked(const Tensor& input, const detail::PackedTensor& weight, std::uint64_t rows,
                     std::uint64_t in_dim, std::uint64_t out_dim, bool dp, std::uint32_t threads) {
    Tensor out({rows, out_dim}, 0.0, dp);
    detail::runWithThreads(threads, [&] {
        detail::project<checkOperatorValue>(input, weight, out, rows, in_dim, out_dim, dp);
    });
    return out;
}

// The portable tiles over the packed storage itself, as on a processor without the kernels.
Tensor projectPackedPortably(const Tensor& input, const detail::PackedTensor& weight,
                             std::uint64_t rows, std::uint64_t in_dim, std::uint64_t out_dim,
                             bool dp, std::uint32_t threads) {
    Tensor out({rows, out_dim}, 0.0, dp);
    detail::runWithThreads(threads, [&] {
        detail::visitWeight(weight, [&](const auto& view) {
            detail::project<checkOperatorValue>(input, view, out, rows, in_dim, out_dim, dp);
        });
    });
    return out;
}

// The plain loop over the weight's values, and every way of projecting them (packed through the
// kernels and through the portable tiles, and unpacked), on one and on four threads.
void expectEveryPathMatches(const Tensor& input, const Tensor& weight, std::uint64_t rows,
                            std::uint64_t in_dim, std::uint64_t out_dim, bool dp) {
    const Tensor expected = reference(input, weight, rows, in_dim, out_dim, dp);
    const detail::PackedTensor packed = detail::packTensor(weight);
    for (const std::uint32_t threads : {1u, 4u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        expectSameBits(projectPacked(input, packed, rows, in_dim, out_dim, dp, threads), expected);
        expectSameBits(projectPackedPortably(input, packed, rows, in_dim, out_dim, dp, threads),
                       expected);
        Tensor plain({rows, out_dim}, 0.0, dp);
        detail::runWithThreads(threads, [&] {
            detail::project<checkOperatorValue>(input, weight, plain, rows, in_dim, out_dim, dp);
        });
        expectSameBits(plain, expected);
    }
}

}  // namespace

// Packed weights of every storage type, over whole panels, a tail past the last panel or both,
// give the plain loop's bits on one thread and on four (300 inputs: enough work per output that
// several rows split the outputs over the threads).
TEST(Projection, PackedWeightsMatchThePlainLoopOnOneAndFourThreads) {
    const std::uint64_t in_dim = 300;
    for (const PackedType type :
         {PackedType::bf16, PackedType::f16, PackedType::f32, PackedType::f64}) {
        for (const std::uint64_t out_dim : {1u, 7u, 8u, 9u, 40u, 72u, 100u}) {
            const Tensor weight = weightOf(type, out_dim, in_dim);
            ASSERT_EQ(detail::packTensor(weight).type(), type) << "outputs " << out_dim;
            for (const bool dp : {true, false}) {
                for (const std::uint64_t rows : {1u, 2u, 3u, 4u, 5u, 9u}) {
                    SCOPED_TRACE("type " + std::to_string(static_cast<int>(type)) + ", rows " +
                                 std::to_string(rows) + ", outputs " + std::to_string(out_dim) +
                                 (dp ? ", double" : ", float32"));
                    const Tensor input =
                        valuesOf(rows, in_dim, 0.3 * static_cast<double>(rows), dp);
                    expectEveryPathMatches(input, weight, rows, in_dim, out_dim, dp);
                }
            }
        }
    }
}

// The widening of binary16 checked exhaustively: a weight holding every finite binary16 value
// (992 outputs, 124 panels) projects to the plain loop's bits.
TEST(Projection, EveryFiniteF16WeightWidensExactlyOnOneAndFourThreads) {
    const Tensor weight = everyFiniteF16();
    const std::uint64_t out_dim = weight.shape[0];
    ASSERT_EQ(out_dim, 992u);
    ASSERT_EQ(detail::packTensor(weight).type(), PackedType::f16);
    for (const bool dp : {true, false}) {
        for (const std::uint64_t rows : {1u, 3u, 9u}) {
            SCOPED_TRACE("rows " + std::to_string(rows) + (dp ? ", double" : ", float32"));
            const Tensor input = valuesOf(rows, 64, 0.7, dp);
            expectEveryPathMatches(input, weight, rows, 64, out_dim, dp);
        }
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
// Every kernel set this processor can run, not only the one panelKernels picks here: over whole
// panels of each storage type (the binary16 one holding every finite value) they write the plain
// loop's sums, and nothing past the panels they were given.
TEST(Projection, EveryPanelKernelSetThisProcessorRunsGivesThePlainLoopsSums) {
    const std::vector<detail::NamedPanelKernels> sets = detail::availablePanelKernels();
    if (sets.empty()) GTEST_SKIP() << "no panel kernels run on this processor";

    std::vector<std::pair<PackedType, Tensor>> weights;
    for (const PackedType type :
         {PackedType::bf16, PackedType::f16, PackedType::f32, PackedType::f64}) {
        for (const std::uint64_t out_dim : {40u, 72u, 100u}) {
            weights.emplace_back(type, weightOf(type, out_dim, 300));
        }
    }
    weights.emplace_back(PackedType::f16, everyFiniteF16());
    for (const auto& [name, kernels] : sets) {
        // A sum beyond float32's range is refused only when rounding to float32; an infinite
        // one always. Refused sums are stored as summed, for the caller's check to find.
        for (const double huge : {1e300, std::numeric_limits<double>::infinity()}) {
            Tensor weight({64, 300}, 0.25, true);
            at(weight, {37, 299}) = huge;
            const detail::PackedTensor packed = detail::packTensor(weight);
            const auto* bytes = detail::storageBytes(packed);
            const Tensor input({1, 300}, 1.0, true);
            for (const bool dp : {true, false}) {
                SCOPED_TRACE(std::string(name) + ", " + std::to_string(huge) +
                             (dp ? ", double" : ", float32"));
                Tensor out({1, 64}, 0.0, true);
                bool refused = false;
                kernels->of[static_cast<std::size_t>(packed.type())](
                    detail::PanelJob{input.data.data(), 1, 300, bytes, 0, 2, out.data.data(), 64,
                                     nullptr, !dp, &refused});
                EXPECT_EQ(refused, !dp || huge > 1e300);
                EXPECT_EQ(at(out, {0, 37}), 74.75 + huge);
                EXPECT_EQ(at(out, {0, 36}), 75.0);
            }
        }
        for (const auto& [type, weight] : weights) {
            const std::uint64_t out_dim = weight.shape[0], in_dim = weight.shape[1];
            const std::uint64_t panels = out_dim / detail::panel_rows;
            const detail::PackedTensor packed = detail::packTensor(weight);
            ASSERT_EQ(packed.type(), type);
            const auto* bytes = detail::storageBytes(packed);
            for (const std::uint64_t rows : {1u, 2u, 3u, 4u, 5u, 9u}) {
                for (const bool dp : {true, false}) {
                    SCOPED_TRACE(std::string(name) + ", type " +
                                 std::to_string(static_cast<int>(type)) + ", rows " +
                                 std::to_string(rows) + ", outputs " + std::to_string(out_dim) +
                                 (dp ? ", double" : ", float32"));
                    const Tensor input = valuesOf(rows, in_dim, 0.5, true);
                    Tensor expected = reference(input, weight, rows, in_dim, out_dim, dp);
                    const double untouched = -0.0;
                    for (std::uint64_t r = 0; r < rows; ++r) {
                        for (std::uint64_t o = panels * detail::panel_rows; o < out_dim; ++o) {
                            at(expected, {r, o}) = untouched;
                        }
                    }
                    Tensor out({rows, out_dim}, untouched, true);
                    std::vector<double> scratch(detail::panel_rows * in_dim);
                    bool refused = false;
                    kernels->of[static_cast<std::size_t>(type)](
                        detail::PanelJob{input.data.data(), rows, in_dim, bytes, 0, panels,
                                         out.data.data(), out_dim, scratch.data(), !dp, &refused});
                    EXPECT_FALSE(refused);
                    expectSameBits(out, expected);
                }
            }
        }
    }
}
#endif
