// Comparison with another runtime's logits: known divergences, the close runtimes' digits,
// shift invariance, the summaries, the checks in their order, and the SVG chart.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "tarvel/reference/compare.hpp"
#include "tarvel/reference/log_probs.hpp"
#include "tarvel/reference/svg_chart.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

LogitsTable table(const std::vector<double>& values, std::uint64_t vocabulary) {
    return LogitsTable{values.size() / vocabulary, vocabulary, values};
}

TEST(Compare, KnownDivergencesInBothForms) {
    // p = (1/2, 1/2); q = (1/4, 3/4) is close (differences within 1), q = (1, e^5)/(1 + e^5)
    // is not: each form against the definition.
    const std::vector<double> exact = {0.0, 0.0, 0.0, 0.0};
    const std::vector<double> other = {0.0, std::log(3.0), 0.0, 5.0};
    const Comparison c =
        compareLogits(table(exact, 2), table(other, 2), std::vector<std::uint32_t>{0, 1});
    const double close = 0.5 * std::log(4.0 / 3.0);
    const double q0 = 1.0 / (1.0 + std::exp(5.0));
    const double far = 0.5 * std::log(0.5 / q0) + 0.5 * std::log(0.5 / (1.0 - q0));
    EXPECT_NEAR(c.kl_per_position[0], close, 1e-16);
    EXPECT_NEAR(c.kl_per_position[1], far, 1e-15);
    EXPECT_EQ(c.kl_max, c.kl_per_position[1]);
    EXPECT_EQ(c.kl_median, (c.kl_per_position[0] + c.kl_per_position[1]) / 2);
    EXPECT_EQ(c.kl_mean, (c.kl_per_position[0] + c.kl_per_position[1]) / 2);
    // Ties at the top: both rows of exact pick id 0; other picks 1 at both.
    EXPECT_EQ(c.top1_per_position, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(c.top1_agreement, 0.0);
    EXPECT_EQ(c.top5_overlap, 1.0);  // a vocabulary of two: both ids are in both tops
    EXPECT_EQ(c.max_abs_error, 5.0);
    EXPECT_EQ(c.rms_error, std::sqrt((std::log(3.0) * std::log(3.0) + 25.0) / 4.0));
    // Token 1 after position 0: -log(1/2) exactly, -log(3/4) for the other.
    EXPECT_EQ(*c.perplexity_exact, std::exp(-tokenLogProb(std::span(exact).first(2), 1)));
    EXPECT_NEAR(*c.perplexity_other, 4.0 / 3.0, 1e-15);
}

TEST(Compare, CloseRuntimesKeepTheDivergencesDigits) {
    // Differences of 1e-7 give a divergence near 1e-14; its second-order value is half the
    // variance of the differences under p, which for p uniform over four is exact to 1e-21.
    const std::vector<double> exact = {1.0, 1.0, 1.0, 1.0};
    const double e = 1e-7;
    const std::vector<double> other = {1.0 + e, 1.0 - e, 1.0 + e, 1.0 - e};
    const Comparison c = compareLogits(table(exact, 4), table(other, 4));
    const double d0 = exact[0] - other[0];
    const double d1 = exact[1] - other[1];
    const double expected = 0.5 * 0.5 * (d0 * d0 + d1 * d1) - 0.125 * (d0 + d1) * (d0 + d1);
    EXPECT_NEAR(c.kl_mean, expected, expected * 1e-6);
    EXPECT_FALSE(c.perplexity_exact.has_value());

    // A shift of every logit changes no probability.
    const std::vector<double> row = {0.25, -3.0, 2.0, 7.5, 1.0, 0.0};
    std::vector<double> shifted = row;
    for (double& z : shifted) z += 5.0;
    const Comparison s = compareLogits(table(row, 6), table(shifted, 6));
    EXPECT_LE(std::fabs(s.kl_mean), 1e-16);
    EXPECT_EQ(s.top1_agreement, 1.0);
    EXPECT_EQ(s.top5_overlap, 1.0);
    EXPECT_EQ(s.max_abs_error, 5.0);

    const Comparison same = compareLogits(table(row, 6), table(row, 6));
    EXPECT_EQ(same.kl_max, 0.0);
    EXPECT_EQ(same.rms_error, 0.0);
}

TEST(Compare, PercentileIsNumpysLinearOne) {
    // Four positions of one id each never differ; five ids with one raised, in four sizes.
    std::vector<double> exact(20, 0.0);
    std::vector<double> other(20, 0.0);
    const double raise[] = {0.4, 0.1, 0.3, 0.2};
    for (std::size_t p = 0; p < 4; ++p) other[p * 5] = raise[p];
    const Comparison c = compareLogits(table(exact, 5), table(other, 5));
    std::vector<double> sorted = c.kl_per_position;
    std::sort(sorted.begin(), sorted.end());
    // numpy: index 0.99 * 3 = 2.97 between the third and fourth.
    EXPECT_EQ(c.kl_p99, sorted[3] - (sorted[3] - sorted[2]) * (1.0 - (0.99 * 3 - 2)));
    EXPECT_EQ(c.kl_median, (sorted[1] + sorted[2]) / 2);
}

TEST(Compare, ChecksInOrder) {
    const std::vector<double> two = {0.0, 1.0, 2.0, 3.0};
    const std::vector<double> three = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
    const std::vector<double> bad = {0.0, std::numeric_limits<double>::infinity(), 2.0, 3.0};
    const double* none = nullptr;
    const struct {
        LogitsTable exact, other;
        std::vector<std::uint32_t> tokens;
        const char* message;
    } cases[] = {
        {LogitsTable{0, 2, {none, 0}}, table(two, 2), {}, "no positions to compare"},
        {LogitsTable{3, 2, two}, table(two, 2), {}, "exact logits do not fill their shape"},
        {table(two, 2), LogitsTable{2, 0, two}, {}, "other logits do not fill their shape"},
        {table(two, 2),
         table(three, 2),
         {},
         "other logits have 3 positions; the exact ones have 2"},
        {table(two, 2), table(two, 1), {}, "other logits have 4 positions; the exact ones have 2"},
        {table(three, 3),
         table(three, 2),
         {},
         "other logits have 3 positions; the exact ones have 2"},
        {table(two, 2), table(two, 4), {}, "other logits have 1 positions; the exact ones have 2"},
        {table(two, 2), table(two, 2), {1}, "1 tokens for 2 positions"},
        {table(bad, 2), table(bad, 2), {}, "exact logits are not finite at position 0"},
        {table(two, 2), table(bad, 2), {}, "other logits are not finite at position 0"},
        {table(two, 2), table(two, 2), {0, 2}, "token id 2 is outside the vocabulary of 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_THROW_MSG(compareLogits(c.exact, c.other, c.tokens), std::invalid_argument,
                         c.message);
    }
    const std::vector<double> wide = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0};
    EXPECT_THROW_MSG(compareLogits(table(two, 2), LogitsTable{2, 4, wide}), std::invalid_argument,
                     "other logits have a vocabulary of 4; the exact ones have 2");
}

TEST(SvgChart, DrawsPanelsWithLegendsAndEscapesText) {
    const std::string svg = svgLineChart(
        "a < b & c", "position",
        {ChartPanel{"errors",
                    "logit error",
                    {ChartSeries{"largest", "#d62728", {0.0, 2.5e-7, std::nan(""), 1e-7}},
                     ChartSeries{"rms", "#1f77b4", {0.0, 1e-7, 1e-7, 0.5e-7}}}},
         ChartPanel{"kl", "KL", {ChartSeries{"KL(exact \u2016 other)", "#2ca02c", {1e-14}}}}});
    EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_NE(svg.find("a &lt; b &amp; c"), std::string::npos);
    EXPECT_NE(svg.find(">largest</text>"), std::string::npos);
    EXPECT_NE(svg.find(">KL(exact \u2016 other)</text>"), std::string::npos);
    // A value that is not finite breaks the line: the last point starts a new one.
    EXPECT_NE(svg.find(" M"), svg.rfind(" M"));
    EXPECT_THROW_MSG(svgLineChart("t", "x", {}), std::invalid_argument, "chart has no panels");
    EXPECT_THROW_MSG(svgLineChart("t", "x", {ChartPanel{"p", "y", {ChartSeries{"s", "red", {}}}}}),
                     std::invalid_argument, "chart series is empty");
}

}  // namespace
