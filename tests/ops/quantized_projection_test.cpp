#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/quantized_blocks.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/core/tensor.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"
#include "tarvel/ops/detail/projection.hpp"

using namespace Nuvexis::Core::Tarvel;
using detail::BlockFormat;
using tarvel_test::BlockFiller;
using tarvel_test::every_block_format;

namespace {

Tensor inputOf(std::uint64_t rows, std::uint64_t cols, double seed, bool double_precision) {
    Tensor t({rows, cols}, 0.0, double_precision);
    for (std::size_t e = 0; e < t.data.size(); ++e) {
        const double x = static_cast<double>(e);
        t.data[e] = std::sin(seed + 0.37 * x) * std::pow(10.0, std::fmod(x, 3.0) - 1.0);
    }
    return t;
}

void expectSameBits(const Tensor& actual, const Tensor& expected) {
    ASSERT_EQ(actual.shape, expected.shape);
    for (std::size_t e = 0; e < expected.data.size(); ++e) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(actual.data[e]),
                  std::bit_cast<std::uint64_t>(expected.data[e]))
            << "element " << e << ": " << actual.data[e] << " vs " << expected.data[e];
    }
}

// The projection over the blocks with the given kernels (null: none), on `threads` threads.
Tensor projectBlocks(const Tensor& input, const detail::PackedTensor& weight, std::uint64_t rows,
                     std::uint64_t in_dim, std::uint64_t out_dim, bool dp, std::uint32_t threads,
                     const detail::PanelKernels* kernels) {
    Tensor out({rows, out_dim}, 0.0, dp);
    detail::runWithThreads(threads, [&] {
        detail::projectQuantized<checkOperatorValue>(input, weight, out, rows, in_dim, out_dim, dp,
                                                     kernels);
    });
    return out;
}

}  // namespace

// For every format, over whole panels and a tail past them (70 outputs), the projection over the
// blocks gives, bit for bit, the projection over the fully widened double matrix: with every
// kernel set this processor runs, without kernels, through the default choice, through the
// portable tiles reading one value at a time, on one thread and on four.
TEST(QuantizedProjection, EveryFormatMatchesTheWidenedDoubleMatrixOnOneAndFourThreads) {
    BlockFiller filler(5);
    std::vector<const detail::PanelKernels*> kernel_sets = {nullptr};
    for (const detail::NamedPanelKernels& set : detail::availablePanelKernels()) {
        kernel_sets.push_back(set.kernels);
    }
    const std::uint64_t out_dim = 70;
    for (const BlockFormat format : every_block_format) {
        const std::uint64_t in_dim = detail::blockValues(format) == 32 ? 96 : 512;
        const detail::PackedTensor weight = filler.tensor(format, out_dim, in_dim);
        const Tensor widened = detail::unpackTensor(weight);
        for (const bool dp : {true, false}) {
            for (const std::uint64_t rows : {1u, 2u, 3u, 5u, 37u}) {
                SCOPED_TRACE(std::string(detail::blockFormatName(format)) + ", rows " +
                             std::to_string(rows) + (dp ? ", double" : ", float32"));
                const Tensor input = inputOf(rows, in_dim, 0.1 * static_cast<double>(rows), dp);
                Tensor expected({rows, out_dim}, 0.0, dp);
                detail::project<checkOperatorValue>(input, widened, expected, rows, in_dim, out_dim,
                                                    dp);
                for (const std::uint32_t threads : {1u, 4u}) {
                    SCOPED_TRACE(std::to_string(threads) + " threads");
                    for (std::size_t k = 0; k < kernel_sets.size(); ++k) {
                        SCOPED_TRACE("kernel set " + std::to_string(k));
                        expectSameBits(projectBlocks(input, weight, rows, in_dim, out_dim, dp,
                                                     threads, kernel_sets[k]),
                                       expected);
                    }
                    Tensor chosen({rows, out_dim}, 0.0, dp);
                    Tensor portable({rows, out_dim}, 0.0, dp);
                    detail::runWithThreads(threads, [&] {
                        detail::project<checkOperatorValue>(input, weight, chosen, rows, in_dim,
                                                            out_dim, dp);
                        detail::visitWeight(weight, [&](const auto& view) {
                            detail::project<checkOperatorValue>(input, view, portable, rows, in_dim,
                                                                out_dim, dp);
                        });
                    });
                    expectSameBits(chosen, expected);
                    expectSameBits(portable, expected);
                }
            }
        }
    }
}

// One row over each kernel set's one-row kernel, with 47 outputs: a group of 32, a group of 8
// and 7 left for the buffer, each output the double matrix's bits.
TEST(QuantizedProjection, OneRowKernelMatchesInEveryGroupWidth) {
    BlockFiller filler(11);
    const std::uint64_t out_dim = 47;
    for (const BlockFormat format : every_block_format) {
        const std::uint64_t in_dim = detail::blockValues(format) == 32 ? 64 : 256;
        const detail::PackedTensor weight = filler.tensor(format, out_dim, in_dim);
        const Tensor widened = detail::unpackTensor(weight);
        for (const bool dp : {true, false}) {
            SCOPED_TRACE(std::string(detail::blockFormatName(format)) +
                         (dp ? ", double" : ", float32"));
            const Tensor input = inputOf(1, in_dim, 0.3, dp);
            Tensor expected({1, out_dim}, 0.0, dp);
            detail::project<checkOperatorValue>(input, widened, expected, 1, in_dim, out_dim, dp);
            for (const detail::NamedPanelKernels& set : detail::availablePanelKernels()) {
                SCOPED_TRACE(set.name);
                expectSameBits(projectBlocks(input, weight, 1, in_dim, out_dim, dp, 1, set.kernels),
                               expected);
            }
        }
    }
}

// A sum beyond float32's range is refused by every path with the value check's own error, as
// over the widened doubles, and the checks of linear come first.
TEST(QuantizedProjection, RefusesWhatTheDoublePathRefuses) {
    BlockFiller filler(9);
    const detail::PackedTensor weight = filler.tensor(BlockFormat::q8_0, 64, 64);
    const Tensor widened = detail::unpackTensor(weight);
    for (const std::uint64_t rows : {1u, 3u}) {
        SCOPED_TRACE("rows " + std::to_string(rows));
        const Tensor input({rows, 64}, 1e300, false);
        std::string expected;
        try {
            (void)linear(input, widened, rows, 64, 64, false);
        } catch (const std::exception& e) {
            expected = e.what();
        }
        ASSERT_FALSE(expected.empty());
        std::vector<const detail::PanelKernels*> kernel_sets = {nullptr};
        for (const auto& set : detail::availablePanelKernels()) kernel_sets.push_back(set.kernels);
        for (const detail::PanelKernels* kernels : kernel_sets) {
            try {
                (void)projectBlocks(input, weight, rows, 64, 64, false, 1, kernels);
                ADD_FAILURE() << "no exception";
            } catch (const std::exception& e) {
                EXPECT_EQ(std::string(e.what()), expected);
            }
        }
    }
    const Tensor input({1, 64}, 1.0, true);
    try {
        (void)detail::linear(input, weight, 1, 64, 65, true);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "linear weight has an invalid shape");
    }
}
