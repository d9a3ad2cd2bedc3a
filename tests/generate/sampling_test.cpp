// The sampling rule is part of the output's contract: a seed gives the same tokens everywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "tarvel/generate/sampling.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

TEST(SplitMix64, IsTheStandardSequenceAsACounter) {
    // The published first outputs of SplitMix64 seeded with 0.
    EXPECT_EQ(splitMix64(0, 0), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(splitMix64(0, 1), 0x6E789E6AA1B965F4ull);
    EXPECT_EQ(splitMix64(0, 2), 0x06C45D188009454Full);
    EXPECT_EQ(unitInterval(0), 0.0);
    EXPECT_EQ(unitInterval(~std::uint64_t{0}), 1.0 - std::ldexp(1.0, -53));
    EXPECT_EQ(unitInterval(std::uint64_t{1} << 63), 0.5);
}

TEST(SampleToken, GreedyTakesTheLowestIdAmongEqualMaxima) {
    const std::vector<double> logits = {0.5, 2.0, -1.0, 2.0};
    EXPECT_EQ(sampleToken(logits, SamplingOptions{}, 0), 1u);
    EXPECT_EQ(sampleToken(logits, SamplingOptions{0.0, 0.1, 9}, 77), 1u);
}

TEST(SampleToken, DrawsFollowTheDocumentedArithmetic) {
    // Weights 1/3 and 1 (id 1 first): the token is id 1 exactly when u * 4/3 < 1.
    const std::vector<double> logits = {0.0, std::log(3.0)};
    const SamplingOptions options{1.0, 1.0, 12345};
    int ones = 0;
    for (std::uint64_t i = 0; i < 64; ++i) {
        const double u = unitInterval(splitMix64(12345, i));
        const double w0 = std::exp(0.0 - std::log(3.0));
        const std::uint32_t expected = u * (1.0 + w0) < 1.0 ? 1u : 0u;
        EXPECT_EQ(sampleToken(logits, options, i), expected) << i;
        ones += expected == 1u;
    }
    EXPECT_GT(ones, 32);  // three quarters expected
    // Equal weights are ordered by id: u < 1/2 picks id 0.
    const std::vector<double> flat = {1.0, 1.0};
    for (std::uint64_t i = 0; i < 16; ++i) {
        const double u = unitInterval(splitMix64(7, i));
        EXPECT_EQ(sampleToken(flat, SamplingOptions{0.7, 1.0, 7}, i), u * 2.0 < 1.0 ? 0u : 1u);
    }
}

TEST(SampleToken, TopPKeepsTheSmallestPrefixReachingTheShare) {
    // Probabilities 0.5, 0.25, 0.125, 0.125 (ids 3, 0, 1, 2 in order).
    const std::vector<double> logits = {std::log(2.0), std::log(1.0), std::log(1.0), std::log(4.0)};
    for (std::uint64_t i = 0; i < 32; ++i) {
        EXPECT_EQ(sampleToken(logits, SamplingOptions{1.0, 0.5, 3}, i), 3u);
        const std::uint32_t two = sampleToken(logits, SamplingOptions{1.0, 0.75, 3}, i);
        EXPECT_TRUE(two == 3u || two == 0u);
    }
}

TEST(SampleToken, PinnedSequence) {
    // A change of generator, arithmetic or order changes these; a separate transcription of
    // the documented rule in Python gave the same sequence.
    const std::vector<double> logits = {0.1, -0.3, 1.2, 0.7, 0.0, -2.0, 0.9, 0.35};
    std::vector<std::uint32_t> drawn;
    for (std::uint64_t i = 0; i < 16; ++i)
        drawn.push_back(sampleToken(logits, SamplingOptions{0.8, 0.9, 42}, i));
    EXPECT_EQ(drawn, (std::vector<std::uint32_t>{7, 2, 2, 6, 2, 0, 2, 7, 6, 3, 2, 6, 6, 6, 3, 2}));
}

TEST(SampleToken, TopKMinPAndRepetitionPenaltyFollowTheDocumentedRule) {
    // Sequences from a separate transcription of the documented rule in Python.
    const std::vector<double> logits = {0.1, -0.3, 1.2, 0.7, 0.0, -2.0, 0.9, 0.35};
    struct Case {
        const char* label;
        SamplingOptions options;
        std::vector<std::uint32_t> history;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {"top-k 3",
         {1.1, 0.95, 7, 3, 0.0, 1.0},
         {},
         {2, 2, 3, 6, 6, 2, 6, 2, 2, 2, 2, 3, 3, 3, 3, 6}},
        {"min-p 0.4",
         {1.1, 1.0, 7, 0, 0.4, 1.0},
         {},
         {6, 2, 7, 6, 6, 2, 6, 2, 2, 6, 2, 7, 7, 7, 7, 6}},
        {"all with a penalty",
         {0.9, 0.9, 11, 5, 0.2, 1.3},
         {2, 2, 5, 6, 9},
         {3, 2, 6, 3, 2, 6, 2, 7, 3, 0, 2, 2, 0, 0, 0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::uint32_t> drawn;
        for (std::uint64_t i = 0; i < 16; ++i)
            drawn.push_back(sampleToken(logits, c.options, i, c.history));
        EXPECT_EQ(drawn, c.expected);
    }
    // Greedy sees the penalty: 1.2 / 2 and 0.9 / 2 fall below 0.7; -2.0 * 2 stays lowest.
    EXPECT_EQ(sampleToken(logits, SamplingOptions{0.0, 1.0, 0, 0, 0.0, 2.0}, 0,
                          std::vector<std::uint32_t>{2, 6, 5}),
              3u);
    // Top-k 1 is greedy whatever the draw; the defaults keep every id.
    for (std::uint64_t i = 0; i < 16; ++i) {
        EXPECT_EQ(sampleToken(logits, SamplingOptions{2.0, 1.0, 5, 1}, i), 2u);
        EXPECT_EQ(sampleToken(logits, SamplingOptions{0.8, 0.9, 42, 0, 0.0, 1.0}, i, {}),
                  sampleToken(logits, SamplingOptions{0.8, 0.9, 42}, i));
    }
}

TEST(StopText, HoldsBackWhatCouldBecomeAStopStringAndEndsBeforeIt) {
    StopText stop({"\n\nUser:", "END"});
    std::string shown;
    for (const char* piece : {"Hello", " there.", "\n", "\nUs", "er: more", " text"})
        shown += stop.push(piece);
    EXPECT_TRUE(stop.stopped());
    EXPECT_EQ(shown, "Hello there.");
    EXPECT_EQ(stop.push("more"), "");
    EXPECT_EQ(stop.finish(), "");

    StopText none({"END"});
    EXPECT_EQ(none.push("the EN"), "the ");
    EXPECT_EQ(none.push("D"), "");
    EXPECT_TRUE(none.stopped());
    StopText unfinished({"END"});
    EXPECT_EQ(unfinished.push("the E"), "the ");
    EXPECT_FALSE(unfinished.stopped());
    EXPECT_EQ(unfinished.finish(), "E");
    EXPECT_THROW_MSG(StopText({"a", ""}), std::invalid_argument, "stop text is empty");
}

TEST(SampleToken, RefusesBadOptions) {
    const std::vector<double> logits = {1.0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double t : {-1.0, nan, std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW_MSG(validateSampling(SamplingOptions{t, 1.0, 0}), std::invalid_argument,
                         "temperature must be finite and not negative");
    }
    EXPECT_THROW_MSG(sampleToken(std::vector<double>{1.0, 2.0}, SamplingOptions{1e-310, 1.0, 0}, 0),
                     std::invalid_argument, "temperature is too small for these logits");
    for (const double p : {0.0, -0.5, 1.5, nan}) {
        EXPECT_THROW_MSG(sampleToken(logits, SamplingOptions{1.0, p, 0}, 0), std::invalid_argument,
                         "top-p must be greater than zero and at most one");
    }
    for (const double p : {-0.1, 1.5, nan}) {
        EXPECT_THROW_MSG(validateSampling(SamplingOptions{1.0, 1.0, 0, 0, p}),
                         std::invalid_argument, "min-p must be at least zero and at most one");
    }
    for (const double r : {0.0, -1.0, nan, std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW_MSG(validateSampling(SamplingOptions{1.0, 1.0, 0, 0, 0.0, r}),
                         std::invalid_argument,
                         "repetition penalty must be finite and greater than zero");
    }
}

}  // namespace
