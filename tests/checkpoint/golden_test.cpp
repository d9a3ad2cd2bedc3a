// Imported checkpoints against the committed float64 reference logits, which were computed in
// the checkpoint's own half-split rotary convention; and cached decoding against the full pass.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "fixture_checkpoints.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

nlohmann::json golden() {
    std::ifstream in(TARVEL_CHECKPOINT_GOLDEN);
    return nlohmann::json::parse(in);
}

class GoldenLogits : public ::testing::TestWithParam<tarvel_test::FixtureCheckpoint> {};

TEST_P(GoldenLogits, MatchTheReferenceAndCachedDecodingMatchesTheFullPass) {
    const tarvel_test::FixtureCheckpoint& fixture = GetParam();
    const nlohmann::json cases = golden()["cases"];
    const auto it = std::find_if(cases.begin(), cases.end(), [&](const nlohmann::json& c) {
        return c["name"] == fixture.name;
    });
    ASSERT_NE(it, cases.end()) << "no golden logits for " << fixture.name;
    ASSERT_EQ((*it)["tokens"].get<std::vector<std::uint32_t>>(), fixture.tokens);

    const auto dir = tarvel_test::freshDirectory("golden-" + fixture.name);
    tarvel_test::writeCheckpoint(dir, fixture);
    const LoadedCheckpoint checkpoint = loadCheckpoint(dir);
    const TransformerModel& model = *checkpoint.model;
    const std::uint64_t n = fixture.tokens.size(), v = model.spec().vocabulary;
    const Tensor full =
        transformerForward(model.spec(), model.weights(), TokenBatch{1, n, fixture.tokens, {}},
                           ForwardOptions{true, {}, true});
    const auto rows = (*it)["logits"].get<std::vector<std::vector<double>>>();
    ASSERT_EQ(rows.size(), n);
    double worst = 0.0;
    for (std::uint64_t t = 0; t < n; ++t) {
        ASSERT_EQ(rows[t].size(), v);
        double largest = 0.0;
        for (const double x : rows[t]) largest = std::max(largest, std::fabs(x));
        for (std::uint64_t u = 0; u < v; ++u) {
            const double error = std::fabs(full.data[t * v + u] - rows[t][u]) / largest;
            worst = std::max(worst, error);
        }
    }
    EXPECT_LE(worst, 1e-12) << fixture.name;

    // Token by token, and as a prefill of three followed by single steps: every row is the
    // full pass's row, bit for bit, in both precisions.
    for (const bool dp : {true, false}) {
        const Tensor full_pass = dp ? full
                                    : model.forward(TokenBatch{1, n, fixture.tokens, {}},
                                                    ForwardOptions{false, {}, true});
        for (const std::uint64_t first : {std::uint64_t{1}, std::uint64_t{3}}) {
            TransformerKvSession session(checkpoint.model, 1);
            TransformerKvOptions options;
            options.double_precision = dp;
            std::uint64_t done = 0;
            while (done < n) {
                const std::uint64_t width = done == 0 ? first : 1;
                const std::vector<std::uint32_t> chunk(
                    fixture.tokens.begin() + static_cast<std::ptrdiff_t>(done),
                    fixture.tokens.begin() + static_cast<std::ptrdiff_t>(done + width));
                const TransformerKvStep step =
                    forwardCached(TokenBatch{1, width, chunk, {}}, session, options);
                for (std::uint64_t r = 0; r < width; ++r) {
                    for (std::uint64_t u = 0; u < v; ++u) {
                        ASSERT_EQ(step.logits.data[r * v + u], full_pass.data[(done + r) * v + u])
                            << fixture.name << " position " << done + r << " id " << u;
                    }
                }
                done += width;
            }
        }
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, GoldenLogits, ::testing::ValuesIn(tarvel_test::goldenFixtures()),
                         [](const auto& param_info) { return param_info.param.name; });

// The reference computed without one feature of a family is far from what the runtime computes
// (a million times the golden tolerance at least): the golden comparison sees every feature.
TEST(GoldenLogits, EachFeatureMovesTheReferenceFarBeyondTheTolerance) {
    const nlohmann::json cases = golden()["cases"];
    const std::vector<tarvel_test::FixtureCheckpoint> fixtures = tarvel_test::familyFixtures();
    const std::vector<tarvel_test::IgnoredFeature> ignored = tarvel_test::ignoredFeatures();
    std::size_t checked = 0;
    for (const tarvel_test::IgnoredFeature& i : ignored) {
        SCOPED_TRACE(i.fixture + " without " + i.feature);
        const auto it = std::find_if(cases.begin(), cases.end(), [&](const nlohmann::json& c) {
            return c["name"] == i.fixture + " without " + i.feature;
        });
        ASSERT_NE(it, cases.end());
        ASSERT_EQ((*it)["ignore"], nlohmann::json::array({i.feature}));
        const auto fixture = std::find_if(fixtures.begin(), fixtures.end(),
                                          [&](const auto& f) { return f.name == i.fixture; });
        ASSERT_NE(fixture, fixtures.end());
        const auto dir = tarvel_test::freshDirectory("ignored-" + i.fixture);
        tarvel_test::writeCheckpoint(dir, *fixture);
        const LoadedCheckpoint checkpoint = loadCheckpoint(dir);
        const std::uint64_t n = fixture->tokens.size(), v = checkpoint.model->spec().vocabulary;
        const Tensor full = checkpoint.model->forward(TokenBatch{1, n, fixture->tokens, {}});
        const auto rows = (*it)["logits"].get<std::vector<std::vector<double>>>();
        double worst = 0.0;
        for (std::uint64_t t = 0; t < n; ++t) {
            double largest = 0.0;
            for (const double x : rows[t]) largest = std::max(largest, std::fabs(x));
            for (std::uint64_t u = 0; u < v; ++u) {
                worst = std::max(worst, std::fabs(full.data[t * v + u] - rows[t][u]) / largest);
            }
        }
        EXPECT_GT(worst, 1e-6);
        std::filesystem::remove_all(dir);
        ++checked;
    }
    EXPECT_EQ(checked, ignored.size());
}

TEST(HalfSplitRow, InvertsTheStoredRotaryOrder) {
    // Head width 6: stored rows are x0 x2 x4 x1 x3 x5 per head, so adjacent-pair row 2k + j
    // comes from stored row j * 3 + k.
    const std::vector<std::uint64_t> expected = {0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11};
    for (std::uint64_t r = 0; r < expected.size(); ++r) EXPECT_EQ(halfSplitRow(r, 6), expected[r]);
}

}  // namespace
