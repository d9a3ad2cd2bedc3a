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

Tensor pattern(std::uint64_t rows, std::uint64_t cols, std::uint64_t seed) {
    Tensor t({rows, cols}, 0.0, true);
    for (std::size_t e = 0; e < t.data.size(); ++e) {
        t.data[e] = std::sin(0.9 * static_cast<double>(e + 1) + 2.1 * static_cast<double>(seed));
    }
    return t;
}

TEST(Linear, ProjectsEveryRowWithOutInWeights) {
    // 3 rows and 5 outputs exercise partial tiles in both directions.
    const Tensor input = tensorOf({3, 2}, {1, 2, -3, 0.5, 0, 4});
    const Tensor weight = tensorOf({5, 2}, {1, 0, 0, 1, 1, 1, 2, -1, -0.25, 3});
    const Tensor out = linear(input, weight, 3, 2, 5, true);
    EXPECT_EQ(out.shape, (std::vector<std::uint64_t>{3, 5}));
    EXPECT_EQ(out.data, (std::vector<double>{1, 2, 3, 0, 5.75,           //
                                             -3, 0.5, -2.5, -6.5, 2.25,  //
                                             0, 4, 4, -4, 12}));
}

TEST(Linear, SumsInAscendingInputOrder) {
    // (1e16 + 1) rounds back to 1e16, so the ascending sum is 0; any other order gives 1 or 2.
    const Tensor input = tensorOf({2, 3}, {1e16, 1, -1e16, 1, 1e16, -1e16});
    const Tensor weight({7, 3}, 1.0, true);
    const Tensor out = linear(input, weight, 2, 3, 7, true);
    for (std::uint64_t o = 0; o < 7; ++o) {
        EXPECT_EQ(at(out, {0, o}), 0.0);
        EXPECT_EQ(at(out, {1, o}), 0.0);
    }
}

TEST(Linear, InputShapeBeforeWeightShapeAndTransposedWeightIsRejected) {
    const Tensor input = pattern(2, 3, 1);
    EXPECT_THROW_MSG(linear(pattern(3, 2, 1), pattern(3, 2, 2), 2, 3, 4, true),
                     std::invalid_argument, "linear input has an invalid shape");
    EXPECT_THROW_MSG(linear(input, pattern(3, 4, 2), 2, 3, 4, true), std::invalid_argument,
                     "linear weight has an invalid shape");
    EXPECT_THROW_MSG(linear(input, Tensor(), 2, 3, 4, true), std::invalid_argument,
                     "linear weight has an invalid shape");
}

TEST(Linear, VariantChoosesTheValueCheckMessage) {
    Tensor input = pattern(2, 3, 1);
    at(input, {1, 2}) = std::nan("");
    const Tensor weight = pattern(4, 3, 2);
    EXPECT_THROW_MSG(linear(input, weight, 2, 3, 4, true), std::domain_error,
                     "transformer operator produced NaN/Inf");
    EXPECT_THROW_MSG(linear(input, weight, 2, 3, 4, true, LinearVariant::forward),
                     std::domain_error, "transformer forward produced NaN/Inf");
    EXPECT_THROW_MSG(linear(input, weight, 2, 3, 4, true, LinearVariant::operator_),
                     std::domain_error, "transformer operator produced NaN/Inf");
}

TEST(Linear, ReducedPrecisionRoundsOutputs) {
    const Tensor input = pattern(3, 5, 1), weight = pattern(6, 5, 2);
    const Tensor exact = linear(input, weight, 3, 5, 6, true);
    const Tensor rounded = linear(input, weight, 3, 5, 6, false, LinearVariant::forward);
    EXPECT_FALSE(rounded.double_precision);
    for (std::size_t e = 0; e < exact.data.size(); ++e) {
        EXPECT_EQ(rounded.data[e], static_cast<double>(static_cast<float>(exact.data[e])));
    }
}

// model_dim 1 and ffn_dim 2 with unit down weights: the output is the sum of the two hidden
// activations, and hidden unit 1 is fed zeros so the output is hidden unit 0 alone.
struct Activation {
    FeedForwardKind kind;
    double x, gate, up;
    double expected;
};

TEST(FeedForward, Activations) {
    const double silu1 = 0.7310585786300049;  // 1 / (1 + e^-1)
    const double gelu1 = 0.8413447460685429;  // Phi(1)
    // 0.5 * (1 + tanh(sqrt(2 / pi) * 1.044715))
    const double gelu_tanh1 = 0.8411919906082768;
    const Activation cases[] = {
        {FeedForwardKind::swiglu, 1.0, 1.0, 1.0, silu1},
        {FeedForwardKind::swiglu, 0.0, 1.0, 1.0, 0.0},
        {FeedForwardKind::swiglu, 1.0, 0.0, 3.0, 0.0},      // gate 0
        {FeedForwardKind::swiglu, -1000.0, 1.0, 5.0, 0.0},  // exp(1000) overflows: -0 * u
        {FeedForwardKind::swiglu, 1000.0, 1.0, 2.0, 2e6},   // SiLU saturates to the gate
        {FeedForwardKind::gelu, 1.0, 7.0, 1.0, gelu1},
        {FeedForwardKind::gelu, 0.0, 7.0, 1.0, 0.0},
        {FeedForwardKind::gelu, 40.0, 7.0, 1.0, 40.0},  // erf saturates at 1
        {FeedForwardKind::gelu, -40.0, 7.0, 1.0, 0.0},  // (-1 + 1) * -20 = -0
        {FeedForwardKind::geglu_tanh, 1.0, 1.0, 1.0, gelu_tanh1},
        {FeedForwardKind::geglu_tanh, 1.0, 1.0, -3.0, -3.0 * gelu_tanh1},
        {FeedForwardKind::geglu_tanh, 1.0, 0.0, 3.0, 0.0},       // gate 0
        {FeedForwardKind::geglu_tanh, 1e120, 1.0, 1e-240, 1.0},  // x^3 overflows, tanh is 1
        {FeedForwardKind::geglu_tanh, -1e120, 1.0, 1.0, 0.0},    // tanh is -1: -0
    };
    for (const Activation& c : cases) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(c.kind) << " x=" << c.x);
        const Tensor out = feedForward(tensorOf({1, 1}, {c.x}), tensorOf({2, 1}, {c.gate, 0.0}),
                                       tensorOf({2, 1}, {c.up, 0.0}), tensorOf({1, 2}, {1.0, 1.0}),
                                       1, 1, 2, c.kind, true);
        EXPECT_NEAR(out.data[0], c.expected, 1e-15 * std::abs(c.expected));
    }
}

TEST(FeedForward, MatchesTheComposedProjections) {
    const std::uint64_t rows = 3, model_dim = 4, ffn_dim = 6;
    const Tensor input = pattern(rows, model_dim, 1), gate = pattern(ffn_dim, model_dim, 2),
                 up = pattern(ffn_dim, model_dim, 3), down = pattern(model_dim, ffn_dim, 4);
    const Tensor g = linear(input, gate, rows, model_dim, ffn_dim, true);
    const Tensor u = linear(input, up, rows, model_dim, ffn_dim, true);
    Tensor swiglu_hidden({rows, ffn_dim}, 0.0, true), gelu_hidden({rows, ffn_dim}, 0.0, true);
    Tensor geglu_hidden({rows, ffn_dim}, 0.0, true);
    for (std::size_t e = 0; e < g.data.size(); ++e) {
        const double sigmoid = 1.0 / (1.0 + std::exp(-g.data[e]));
        swiglu_hidden.data[e] = g.data[e] * sigmoid * u.data[e];
        gelu_hidden.data[e] = 0.5 * u.data[e] * (1.0 + std::erf(u.data[e] / std::sqrt(2.0)));
        const double x = g.data[e];
        const double inner = std::sqrt(2.0 / std::acos(-1.0)) * (x + 0.044715 * std::pow(x, 3));
        geglu_hidden.data[e] = 0.5 * x * (1.0 + std::tanh(inner)) * u.data[e];
    }
    const Tensor geglu_expected = linear(geglu_hidden, down, rows, ffn_dim, model_dim, true);
    const Tensor geglu = feedForward(input, gate, up, down, rows, model_dim, ffn_dim,
                                     FeedForwardKind::geglu_tanh, true);
    const Tensor swiglu_expected = linear(swiglu_hidden, down, rows, ffn_dim, model_dim, true);
    const Tensor gelu_expected = linear(gelu_hidden, down, rows, ffn_dim, model_dim, true);
    const Tensor swiglu =
        feedForward(input, gate, up, down, rows, model_dim, ffn_dim, FeedForwardKind::swiglu, true);
    const Tensor gelu =
        feedForward(input, gate, up, down, rows, model_dim, ffn_dim, FeedForwardKind::gelu, true);
    ASSERT_EQ(swiglu.shape, (std::vector<std::uint64_t>{rows, model_dim}));
    for (std::size_t e = 0; e < swiglu.data.size(); ++e) {
        EXPECT_NEAR(swiglu.data[e], swiglu_expected.data[e], 1e-14);
        EXPECT_NEAR(gelu.data[e], gelu_expected.data[e], 1e-14);
        EXPECT_NEAR(geglu.data[e], geglu_expected.data[e], 1e-14);
    }
}

TEST(FeedForward, ChecksRunInOrder) {
    const auto unknown = static_cast<FeedForwardKind>(3);
    const Tensor input = pattern(2, 3, 1), weight = pattern(4, 3, 2), down = pattern(3, 4, 3);
    const Tensor bad = pattern(5, 5, 5);
    struct Case {
        const Tensor& input;
        const Tensor& gate;
        const Tensor& up;
        const Tensor& down;
        FeedForwardKind kind;
        const char* message;
    };
    const Case cases[] = {
        {bad, bad, bad, bad, unknown, "linear input has an invalid shape"},
        {input, bad, bad, bad, unknown, "linear weight has an invalid shape"},
        {input, bad, weight, bad, unknown, "unknown feed-forward operator"},
        {input, bad, weight, down, FeedForwardKind::swiglu, "linear weight has an invalid shape"},
        {input, weight, weight, bad, FeedForwardKind::swiglu, "linear weight has an invalid shape"},
        {input, weight, weight, weight, FeedForwardKind::gelu,  // down given as [in, out]
         "linear weight has an invalid shape"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_THROW_MSG(feedForward(c.input, c.gate, c.up, c.down, 2, 3, 4, c.kind, true),
                         std::invalid_argument, c.message);
    }
    // GELU never reads the gate.
    EXPECT_NO_THROW(feedForward(input, bad, weight, down, 2, 3, 4, FeedForwardKind::gelu, true));
}

TEST(FeedForward, NonFiniteValuesAreOperatorFailures) {
    Tensor up = pattern(4, 3, 2);
    at(up, {3, 1}) = std::nan("");
    const Tensor input = pattern(2, 3, 1), down = pattern(3, 4, 3);
    for (FeedForwardKind kind :
         {FeedForwardKind::swiglu, FeedForwardKind::gelu, FeedForwardKind::geglu_tanh}) {
        EXPECT_THROW_MSG(feedForward(input, pattern(4, 3, 4), up, down, 2, 3, 4, kind, true),
                         std::domain_error, "transformer operator produced NaN/Inf");
    }
    // SiLU of a huge gate times a huge up value overflows in the activation itself.
    EXPECT_THROW_MSG(
        feedForward(tensorOf({1, 1}, {1e200}), tensorOf({1, 1}, {1.0}), tensorOf({1, 1}, {1.0}),
                    tensorOf({1, 1}, {1.0}), 1, 1, 1, FeedForwardKind::swiglu, true),
        std::domain_error, "transformer operator produced NaN/Inf");
}

// One row (the decode shape) and several rows take different kernels; both demand storage
// that holds exactly the shape.
TEST(Linear, StorageThatDisagreesWithTheShapeIsMisshapen) {
    for (const std::uint64_t rows : {std::uint64_t{1}, std::uint64_t{5}}) {
        SCOPED_TRACE(rows);
        const Tensor input = pattern(rows, 3, 1);
        const Tensor weight = pattern(9, 3, 2);
        for (const std::size_t stored :
             {std::size_t{0}, input.data.size() - 1, input.data.size() + 1}) {
            EXPECT_THROW_MSG(linear(withStorage(input, stored), weight, rows, 3, 9, true),
                             std::invalid_argument, "linear input has an invalid shape");
        }
        for (const std::size_t stored : {std::size_t{0}, std::size_t{26}, std::size_t{28}}) {
            EXPECT_THROW_MSG(linear(input, withStorage(weight, stored), rows, 3, 9, true),
                             std::invalid_argument, "linear weight has an invalid shape");
        }
    }
}

TEST(FeedForward, StorageThatDisagreesWithTheShapeIsMisshapen) {
    const Tensor input = pattern(2, 3, 1), weight = pattern(4, 3, 2), down = pattern(3, 4, 3);
    const Tensor short_weight = withStorage(weight, 11), short_down = withStorage(down, 11);
    for (const FeedForwardKind kind : {FeedForwardKind::swiglu, FeedForwardKind::gelu}) {
        EXPECT_THROW_MSG(feedForward(input, weight, short_weight, down, 2, 3, 4, kind, true),
                         std::invalid_argument, "linear weight has an invalid shape");
        EXPECT_THROW_MSG(feedForward(input, weight, weight, short_down, 2, 3, 4, kind, true),
                         std::invalid_argument, "linear weight has an invalid shape");
    }
    EXPECT_THROW_MSG(
        feedForward(input, short_weight, weight, down, 2, 3, 4, FeedForwardKind::swiglu, true),
        std::invalid_argument, "linear weight has an invalid shape");
}

}  // namespace
