// Log-probabilities, the sliding windows of perplexity and scoring: each equal, bit for bit, to
// the plain computation over the full forward pass of each window.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "support/models.hpp"
#include "tarvel/reference/log_probs.hpp"
#include "tarvel/reference/perplexity.hpp"
#include "tarvel/reference/score.hpp"

using namespace tarvel_test;

namespace {

// A model long enough for windows of more than the 64 rows a step scores at once.
std::shared_ptr<const TransformerModel> longModel() {
    static const auto model =
        makeModel(smallSpec(2, 2, 1, 4, FeedForwardKind::swiglu, true, 160, 11), 3.0);
    return model;
}

std::vector<std::uint32_t> sequence(std::size_t n, std::uint32_t vocabulary) {
    std::vector<std::uint32_t> ids(n);
    for (std::size_t i = 0; i < n; ++i)
        ids[i] = static_cast<std::uint32_t>((i * 7 + 3) % vocabulary);
    return ids;
}

TEST(LogProbs, SubtractTheMaximumAndSumInDouble) {
    const std::vector<double> even = logSoftmax(std::vector<double>{0.0, 0.0});
    EXPECT_EQ(even[0], -std::log(2.0));
    EXPECT_EQ(even[1], -std::log(2.0));
    // Without the maximum subtracted exp(1000) would overflow.
    const std::vector<double> far = logSoftmax(std::vector<double>{1000.0, 0.0, 1000.0});
    EXPECT_EQ(far[0], -std::log(2.0));
    EXPECT_EQ(far[1], -1000.0 - std::log(2.0));
    const std::vector<double> row = {0.5, -1.25, 3.0, 3.0};
    const std::vector<double> all = logSoftmax(row);
    for (std::uint32_t u = 0; u < row.size(); ++u) EXPECT_EQ(tokenLogProb(row, u), all[u]);

    EXPECT_THROW_MSG(logSoftmax(std::vector<double>{}), std::invalid_argument,
                     "logits row is empty");
    EXPECT_THROW_MSG(logSoftmax(std::vector<double>{0.0, std::nan("")}), std::invalid_argument,
                     "logits are not finite");
    EXPECT_THROW_MSG(tokenLogProb(row, 4), std::out_of_range, "token id is outside the logits row");
    // Ties keep the lower id first; asking for more than there are gives them all.
    const std::vector<TokenLogProb> top = topLogProbs(all, 9);
    ASSERT_EQ(top.size(), 4u);
    EXPECT_EQ(top[0].token, 2u);
    EXPECT_EQ(top[1].token, 3u);
    EXPECT_EQ(top[2].token, 0u);
    EXPECT_EQ(top[3].token, 1u);
}

struct WindowCase {
    std::uint64_t tokens, context, stride;
    std::vector<std::array<std::uint64_t, 3>> windows;  // begin, end, first scored
};

TEST(Perplexity, WindowsScoreEachPositionOnce) {
    const WindowCase cases[] = {
        {2, 2, 1, {{0, 2, 1}}},
        // Without overlap the first token of each later window has nothing before it there.
        {10, 4, 4, {{0, 4, 1}, {4, 8, 5}, {8, 10, 9}}},
        {10, 4, 2, {{0, 4, 1}, {2, 6, 4}, {4, 8, 6}, {6, 10, 8}}},
        {9, 4, 3, {{0, 4, 1}, {3, 7, 4}, {6, 9, 7}}},
        {5, 8, 2, {{0, 5, 1}}},
        {7, 3, 1, {{0, 3, 1}, {1, 4, 3}, {2, 5, 4}, {3, 6, 5}, {4, 7, 6}}},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tokens << " " << c.context << " " << c.stride);
        const std::vector<PerplexityWindow> windows =
            perplexityWindows(c.tokens, c.context, c.stride);
        ASSERT_EQ(windows.size(), c.windows.size());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            EXPECT_EQ(windows[i].begin, c.windows[i][0]);
            EXPECT_EQ(windows[i].end, c.windows[i][1]);
            EXPECT_EQ(windows[i].first_scored, c.windows[i][2]);
        }
    }
    // The first fault is reported.
    EXPECT_THROW_MSG(perplexityWindows(1, 1, 2), std::invalid_argument,
                     "perplexity context must be at least 2");
    EXPECT_THROW_MSG(perplexityWindows(1, 4, 5), std::invalid_argument,
                     "perplexity stride must be from 1 to the context");
    EXPECT_THROW_MSG(perplexityWindows(1, 4, 0), std::invalid_argument,
                     "perplexity stride must be from 1 to the context");
    EXPECT_THROW_MSG(perplexityWindows(1, 4, 4), std::invalid_argument,
                     "perplexity needs at least 2 tokens");
}

TEST(Perplexity, EqualsTheFullPassOfEveryWindowBitForBit) {
    const auto model = longModel();
    const std::vector<std::uint32_t> ids = sequence(331, 11);
    struct Case {
        std::uint64_t context, stride;
        bool double_precision;
    };
    // Strides below the window feed a prefix without logits first; windows of 150 score more
    // rows than one step takes.
    for (const Case& c :
         {Case{150, 150, true}, Case{150, 47, true}, Case{160, 70, false}, Case{2, 1, true}}) {
        SCOPED_TRACE(testing::Message() << c.context << " " << c.stride);
        PerplexityOptions options;
        options.context = c.context;
        options.stride = c.stride;
        options.double_precision = c.double_precision;
        std::vector<std::uint64_t> reported;
        std::uint64_t announced = 0;
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            announced = total;
            reported.push_back(done);
        };
        const PerplexityResult result = perplexity(model, ids, options);

        double sum = 0.0;
        std::uint64_t scored = 0;
        const std::uint64_t v = model->spec().vocabulary;
        for (const PerplexityWindow& w : perplexityWindows(ids.size(), c.context, c.stride)) {
            const std::vector<std::uint32_t> window(ids.begin() + static_cast<long>(w.begin),
                                                    ids.begin() + static_cast<long>(w.end));
            const Tensor logits = model->forward(TokenBatch{1, window.size(), window, {}},
                                                 ForwardOptions{c.double_precision, {}, true});
            for (std::uint64_t j = w.first_scored; j < w.end; ++j) {
                const std::span<const double> row(logits.data.data() + (j - 1 - w.begin) * v, v);
                sum += -tokenLogProb(row, ids[j]);
                ++scored;
            }
        }
        EXPECT_EQ(result.tokens_scored, scored);
        EXPECT_EQ(announced, scored);
        EXPECT_EQ(result.negative_log_likelihood, sum / static_cast<double>(scored));
        EXPECT_EQ(result.perplexity, std::exp(result.negative_log_likelihood));
        ASSERT_EQ(reported.size(), result.windows.size());
        EXPECT_EQ(reported.back(), scored);
    }
}

TEST(Perplexity, RefusesBeforeComputing) {
    const auto model = longModel();
    PerplexityOptions options;
    options.context = 161;
    EXPECT_THROW_MSG(perplexity(model, sequence(5, 11), options), std::invalid_argument,
                     "perplexity context exceeds the model's context");
    options.context = 0;
    std::vector<std::uint32_t> ids = sequence(5, 11);
    ids[3] = 11;
    EXPECT_THROW_MSG(perplexity(model, ids, options), std::invalid_argument,
                     "token id 11 is outside the vocabulary of 11");
    EXPECT_THROW_MSG(perplexity(model, sequence(1, 11), options), std::invalid_argument,
                     "perplexity needs at least 2 tokens");
}

TEST(Score, LogitsAreTheFullPassAndEachTokenIsScoredFromTheRowBefore) {
    const auto model = longModel();
    const std::vector<std::uint32_t> ids = sequence(90, 11);
    for (const bool double_precision : {true, false}) {
        ScoreOptions options;
        options.double_precision = double_precision;
        options.top = 3;
        const ScoreResult result = scoreTokens(model, ids, options);
        const Tensor full = model->forward(TokenBatch{1, ids.size(), ids, {}},
                                           ForwardOptions{double_precision, {}, true});
        EXPECT_EQ(result.logits.shape, (std::vector<std::uint64_t>{90, 11}));
        EXPECT_EQ(result.logits.data, full.data);
        ASSERT_EQ(result.tokens.size(), 89u);
        for (std::size_t j = 1; j < ids.size(); ++j) {
            const std::span<const double> row(full.data.data() + (j - 1) * 11, 11);
            const TokenLogProbs& entry = result.tokens[j - 1];
            EXPECT_EQ(entry.position, j);
            EXPECT_EQ(entry.token, ids[j]);
            EXPECT_EQ(entry.logprob, tokenLogProb(row, ids[j]));
            ASSERT_EQ(entry.top.size(), 3u);
            EXPECT_EQ(entry.top[0].logprob, tokenLogProb(row, entry.top[0].token));
        }
    }
    EXPECT_THROW_MSG(scoreTokens(model, {}), std::invalid_argument, "no tokens to score");
    EXPECT_THROW_MSG(scoreTokens(model, sequence(161, 11)), std::invalid_argument,
                     "161 tokens exceed the model's context of 160");
}

}  // namespace
