#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "support/tensors.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

using tarvel_test::tensorOf;
using tarvel_test::withStorage;

TEST(RmsNorm, EpsilonIsRefusedBeforeAnyShape) {
    const Tensor bad_input({3}, 0.0, true);
    const Tensor bad_weight({1, 2}, 0.0, true);
    const Tensor input({1, 2}, 1.0, true);
    const Tensor weight({2}, 1.0, true);
    for (double epsilon :
         {0.0, -0.0, -1e-5, std::nan(""), std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(epsilon);
        EXPECT_THROW_MSG(rmsNorm(bad_input, bad_weight, 1, 2, epsilon, true), std::invalid_argument,
                         "RMSNorm epsilon must be finite and positive");
        EXPECT_THROW_MSG(rmsNorm(input, weight, 1, 2, epsilon, true), std::invalid_argument,
                         "RMSNorm epsilon must be finite and positive");
    }
    // The smallest subnormal is still positive.
    EXPECT_NO_THROW(rmsNorm(input, weight, 1, 2, std::numeric_limits<double>::denorm_min(), true));
}

TEST(RmsNorm, InputShapeIsDemandedBeforeWeightShape) {
    const Tensor input({2, 3}, 1.0, true);
    const Tensor weight({3}, 1.0, true);
    EXPECT_THROW_MSG(
        rmsNorm(Tensor({3, 2}, 1.0, true), Tensor({1, 3}, 1.0, true), 2, 3, 1e-5, true),
        std::invalid_argument, "RMSNorm input has an invalid shape");
    EXPECT_THROW_MSG(rmsNorm(input, Tensor({1, 3}, 1.0, true), 2, 3, 1e-5, true),
                     std::invalid_argument, "RMSNorm weight has an invalid shape");
    EXPECT_THROW_MSG(rmsNorm(Tensor({6}, 1.0, true), weight, 2, 3, 1e-5, true),
                     std::invalid_argument, "RMSNorm input has an invalid shape");
    EXPECT_THROW_MSG(rmsNorm(Tensor(), weight, 2, 3, 1e-5, true), std::invalid_argument,
                     "RMSNorm input has an invalid shape");
}

TEST(RmsNorm, NormalisesEachRowAndScalesPerFeature) {
    // Row 0: mean square 16, plus epsilon 9 gives 25, so every feature is scaled by 1/5.
    // Row 1 is all zeros and stays zero. Epsilon sits inside the square root.
    const Tensor input = tensorOf({2, 4}, {4, -4, 4, 4, 0, 0, 0, 0});
    const Tensor weight = tensorOf({4}, {1.0, 2.0, -0.5, 0.0});
    const Tensor out = rmsNorm(input, weight, 2, 4, 9.0, true);
    EXPECT_EQ(out.shape, (std::vector<std::uint64_t>{2, 4}));
    EXPECT_TRUE(out.double_precision);
    EXPECT_EQ(out.data, (std::vector<double>{0.8, -1.6, -0.4, 0.0, 0.0, 0.0, 0.0, 0.0}));
    EXPECT_EQ(input.data[1], -4.0) << "input must not change";
}

TEST(RmsNorm, OneFeature) {
    for (double x : {3.0, -0.1, 1e-3}) {
        const Tensor out = rmsNorm(tensorOf({1, 1}, {x}), tensorOf({1}, {1.5}), 1, 1, 1e-5, true);
        EXPECT_EQ(out.data[0], 1.5 * (x * (1.0 / std::sqrt(x * x + 1e-5))));
    }
}

TEST(RmsNorm, ReducedPrecisionRoundsEveryOutputToFloat32) {
    const Tensor input = tensorOf({2, 3}, {0.1, 0.2, 0.3, -1.7, 2.9, 0.001});
    const Tensor weight = tensorOf({3}, {1.1, 0.9, -1.3});
    const Tensor exact = rmsNorm(input, weight, 2, 3, 1e-5, true);
    const Tensor rounded = rmsNorm(input, weight, 2, 3, 1e-5, false);
    EXPECT_FALSE(rounded.double_precision);
    for (std::size_t e = 0; e < exact.data.size(); ++e) {
        EXPECT_EQ(rounded.data[e], static_cast<double>(static_cast<float>(exact.data[e])));
        EXPECT_NE(rounded.data[e], exact.data[e]);
    }
}

TEST(RmsNorm, NonFiniteOutputIsAnOperatorFailure) {
    const Tensor input = tensorOf({1, 2}, {1.0, std::nan("")});
    EXPECT_THROW_MSG(rmsNorm(input, Tensor({2}, 1.0, true), 1, 2, 1e-5, true), std::domain_error,
                     "transformer operator produced NaN/Inf");
}

TEST(RmsNorm, StorageThatDisagreesWithTheShapeIsMisshapen) {
    const Tensor input({2, 3}, 1.0, true);
    const Tensor weight({3}, 1.0, true);
    for (const std::size_t stored : {std::size_t{0}, std::size_t{5}, std::size_t{7}}) {
        EXPECT_THROW_MSG(rmsNorm(withStorage(input, stored), weight, 2, 3, 1e-5, true),
                         std::invalid_argument, "RMSNorm input has an invalid shape");
    }
    for (const std::size_t stored : {std::size_t{0}, std::size_t{2}, std::size_t{4}}) {
        EXPECT_THROW_MSG(rmsNorm(input, withStorage(weight, stored), 2, 3, 1e-5, true),
                         std::invalid_argument, "RMSNorm weight has an invalid shape");
    }
}

// A sum of squares beyond the double range would make the scale 0 and every output a silent
// zero (the true result of {1e200, 1e200} is about {1, 1}); it is refused instead.
TEST(RmsNorm, AnOverflowingSumOfSquaresIsAnOperatorFailure) {
    const Tensor weight = tensorOf({2}, {1.0, 1.0});
    for (const bool dp : {true, false}) {
        SCOPED_TRACE(dp);
        EXPECT_THROW_MSG(rmsNorm(tensorOf({1, 2}, {1e200, 1e200}), weight, 1, 2, 1e-5, dp),
                         std::domain_error, "transformer operator produced NaN/Inf");
        // A later row that overflows fails the whole call.
        EXPECT_THROW_MSG(rmsNorm(tensorOf({2, 2}, {1, 2, -1e155, 1e155}), weight, 2, 2, 1e-5, dp),
                         std::domain_error, "transformer operator produced NaN/Inf");
        EXPECT_THROW_MSG(rmsNorm(tensorOf({1, 2}, {std::numeric_limits<double>::infinity(), 0}),
                                 weight, 1, 2, 1e-5, dp),
                         std::domain_error, "transformer operator produced NaN/Inf");
    }
    // The largest sums that still fit are normalised as before.
    const double x = 1e153;
    const Tensor out = rmsNorm(tensorOf({1, 2}, {x, -x}), weight, 1, 2, 1e-5, true);
    const double inv = 1.0 / std::sqrt((x * x + x * x) / 2.0 + 1e-5);
    EXPECT_EQ(out.data, (std::vector<double>{1.0 * (x * inv), 1.0 * (-x * inv)}));
    EXPECT_NEAR(out.data[0], 1.0, 1e-15);
}

}  // namespace

namespace {

// With a unit offset the scale is 1 + weight, formed in double: the result is the plain norm's
// with that weight, bit for bit, in both precisions; without it, the plain norm.
TEST(RmsNorm, UnitOffsetScalesByOnePlusTheWeight) {
    const Tensor input = tensorOf({2, 3}, {0.3, -1.7, 2.2, 5.0, 0.125, -0.75});
    const Tensor weight = tensorOf({3}, {0.5, -0.25, 0.0078125});
    const Tensor shifted = tensorOf({3}, {1.5, 0.75, 1.0078125});
    for (const bool dp : {true, false}) {
        EXPECT_EQ(rmsNorm(input, weight, 2, 3, 1e-6, dp, true).data,
                  rmsNorm(input, shifted, 2, 3, 1e-6, dp).data);
        EXPECT_EQ(rmsNorm(input, weight, 2, 3, 1e-6, dp, false).data,
                  rmsNorm(input, weight, 2, 3, 1e-6, dp).data);
    }
    EXPECT_THROW_MSG(rmsNorm(input, Tensor({2}, 0.0, true), 2, 3, 1e-6, true, true),
                     std::invalid_argument, "RMSNorm weight has an invalid shape");
}

}  // namespace
