#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "support/tensors.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

// Deterministic values of both signs in roughly [-1, 1].
Tensor pattern(std::uint64_t rows, std::uint64_t cols, std::uint64_t seed) {
    Tensor t({rows, cols}, 0.0, true);
    for (std::size_t e = 0; e < t.data.size(); ++e) {
        t.data[e] = std::sin(0.7 * static_cast<double>(e + 1) + 1.3 * static_cast<double>(seed));
    }
    return t;
}

// Copies KV head g of `kv` into every query head it serves, so that grouped-query attention
// can be compared with plain multi-head attention.
Tensor expandHeads(const Tensor& kv, std::uint64_t query_heads, std::uint64_t kv_heads,
                   std::uint64_t head_dim) {
    const std::uint64_t rows = kv.shape[0];
    Tensor out({rows, query_heads * head_dim}, 0.0, true);
    const std::uint64_t group = query_heads / kv_heads;
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t h = 0; h < query_heads; ++h) {
            for (std::uint64_t d = 0; d < head_dim; ++d) {
                at(out, {r, h * head_dim + d}) = at(kv, {r, (h / group) * head_dim + d});
            }
        }
    }
    return out;
}

TEST(Attention, ChecksRunInOrder) {
    const char* gqa = "GQA query heads must be divisible by KV heads";
    const Tensor q = pattern(6, 8, 1), kv = pattern(6, 4, 2), bad = pattern(5, 3, 3);
    const std::vector<std::uint64_t> none, one_length{3}, lengths{3, 4};
    struct Case {
        const Tensor& query;
        const Tensor& key;
        const Tensor& value;
        std::uint64_t query_heads, kv_heads;
        const std::vector<std::uint64_t>& lengths;
        const char* message;
    };
    // batch 2, seq 3, head_dim 4.
    const Case cases[] = {
        {bad, bad, bad, 3, 2, one_length, gqa},
        {bad, bad, bad, 0, 1, one_length, gqa},
        {bad, bad, bad, 2, 0, one_length, gqa},
        {bad, bad, bad, 2, 1, one_length, "attention lengths do not match batch"},
        {bad, bad, bad, 2, 1, none, "attention query has an invalid shape"},
        {q, bad, bad, 2, 1, none, "attention key has an invalid shape"},
        {q, q, bad, 2, 1, none, "attention key has an invalid shape"},
        {q, kv, bad, 2, 1, none, "attention value has an invalid shape"},
        {q, kv, q, 2, 1, none, "attention value has an invalid shape"},
        {q, kv, kv, 2, 1, lengths, "attention length exceeds sequence"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_THROW_MSG(
            attention(c.query, c.key, c.value, 2, 3, c.query_heads, c.kv_heads, 4, c.lengths, true),
            std::invalid_argument, c.message);
    }
}

TEST(Attention, FirstPositionCopiesItsValueAndMaskedEntriesStayZero) {
    const std::uint64_t seq = 4, heads = 2, head_dim = 3;
    const Tensor q = pattern(seq, heads * head_dim, 1), k = pattern(seq, heads * head_dim, 2),
                 v = pattern(seq, heads * head_dim, 3);
    const AttentionResult result = attention(q, k, v, 1, seq, heads, heads, head_dim, {}, true);
    EXPECT_EQ(result.scores.shape, (std::vector<std::uint64_t>{1, heads, seq, seq}));
    EXPECT_EQ(result.probabilities.shape, (std::vector<std::uint64_t>{1, heads, seq, seq}));
    EXPECT_EQ(result.output.shape, (std::vector<std::uint64_t>{seq, heads * head_dim}));
    for (std::uint64_t h = 0; h < heads; ++h) {
        EXPECT_EQ(at(result.probabilities, {0, h, 0, 0}), 1.0);
        for (std::uint64_t d = 0; d < head_dim; ++d) {
            EXPECT_EQ(at(result.output, {0, h * head_dim + d}), at(v, {0, h * head_dim + d}));
        }
        for (std::uint64_t i = 0; i < seq; ++i) {
            double total = 0.0;
            for (std::uint64_t j = 0; j < seq; ++j) {
                if (j > i) {
                    EXPECT_EQ(at(result.scores, {0, h, i, j}), 0.0);
                    EXPECT_EQ(at(result.probabilities, {0, h, i, j}), 0.0);
                } else {
                    total += at(result.probabilities, {0, h, i, j});
                }
            }
            EXPECT_NEAR(total, 1.0, 1e-15);
        }
    }
}

TEST(Attention, ScoresAreScaledDotProductsAndOutputIsTheWeightedSum) {
    // head_dim 2, one head, two positions: everything can be worked out by hand.
    Tensor q({2, 2}, 0.0, true), k({2, 2}, 0.0, true), v({2, 2}, 0.0, true);
    q.data = {1.0, 0.0, 0.5, 2.0};
    k.data = {1.0, 0.0, -1.0, 1.0};
    v.data = {3.0, -1.0, 5.0, 7.0};
    const AttentionResult r = attention(q, k, v, 1, 2, 1, 1, 2, {}, true);
    const double scale = 0.7071067811865475;
    EXPECT_EQ(at(r.scores, {0, 0, 0, 0}), scale);
    EXPECT_EQ(at(r.scores, {0, 0, 1, 0}), 0.5 * scale);
    EXPECT_EQ(at(r.scores, {0, 0, 1, 1}), 1.5 * scale);
    const double p0 = 1.0 / (1.0 + std::exp(scale));  // softmax of {0.5, 1.5} * scale
    EXPECT_NEAR(at(r.probabilities, {0, 0, 1, 0}), p0, 1e-16);
    EXPECT_NEAR(at(r.probabilities, {0, 0, 1, 1}), 1.0 - p0, 1e-16);
    EXPECT_NEAR(at(r.output, {1, 0}), 3.0 * p0 + 5.0 * (1.0 - p0), 1e-15);
    EXPECT_NEAR(at(r.output, {1, 1}), -1.0 * p0 + 7.0 * (1.0 - p0), 1e-15);
}

TEST(Attention, GroupedQueryHeadsReadTheirKvHead) {
    struct Case {
        std::uint64_t query_heads, kv_heads;
    };
    const std::uint64_t batch = 2, seq = 3, head_dim = 4;
    for (const Case c : {Case{2, 1}, Case{4, 2}, Case{4, 1}, Case{3, 3}}) {
        SCOPED_TRACE(::testing::Message() << c.query_heads << "/" << c.kv_heads);
        const Tensor q = pattern(batch * seq, c.query_heads * head_dim, 5);
        const Tensor k = pattern(batch * seq, c.kv_heads * head_dim, 6);
        const Tensor v = pattern(batch * seq, c.kv_heads * head_dim, 7);
        const AttentionResult grouped =
            attention(q, k, v, batch, seq, c.query_heads, c.kv_heads, head_dim, {}, true);
        const AttentionResult expanded =
            attention(q, expandHeads(k, c.query_heads, c.kv_heads, head_dim),
                      expandHeads(v, c.query_heads, c.kv_heads, head_dim), batch, seq,
                      c.query_heads, c.query_heads, head_dim, {}, true);
        EXPECT_EQ(grouped.scores.data, expanded.scores.data);
        EXPECT_EQ(grouped.probabilities.data, expanded.probabilities.data);
        EXPECT_EQ(grouped.output.data, expanded.output.data);
    }
    // With query_heads 4 and kv_heads 2, heads 1 and 2 differ because they use different KV heads
    // although their queries are equal.
    Tensor q({1, 8}, 1.0, true);
    const Tensor v = pattern(1, 4, 9);
    const AttentionResult r = attention(q, v, v, 1, 1, 4, 2, 2, {}, true);
    EXPECT_EQ(at(r.output, {0, 2}), at(v, {0, 0}));
    EXPECT_EQ(at(r.output, {0, 4}), at(v, {0, 2}));
}

TEST(Attention, LengthsLimitQueriesAndKeysPerSequence) {
    const std::uint64_t seq = 4, heads = 2, head_dim = 2;
    const Tensor q = pattern(3 * seq, heads * head_dim, 1),
                 k = pattern(3 * seq, heads * head_dim, 2),
                 v = pattern(3 * seq, heads * head_dim, 3);
    const AttentionResult padded =
        attention(q, k, v, 3, seq, heads, heads, head_dim, {2, 0, 4}, true);
    const AttentionResult full = attention(q, k, v, 3, seq, heads, heads, head_dim, {}, true);
    const AttentionResult all_lengths =
        attention(q, k, v, 3, seq, heads, heads, head_dim, {4, 4, 4}, true);
    EXPECT_EQ(full.scores.data, all_lengths.scores.data);
    EXPECT_EQ(full.probabilities.data, all_lengths.probabilities.data);
    EXPECT_EQ(full.output.data, all_lengths.output.data);

    const std::uint64_t lengths[] = {2, 0, 4};
    for (std::uint64_t b = 0; b < 3; ++b) {
        for (std::uint64_t h = 0; h < heads; ++h) {
            for (std::uint64_t i = 0; i < seq; ++i) {
                for (std::uint64_t j = 0; j < seq; ++j) {
                    // Causal attention never looks ahead, so inside the length a padded row
                    // equals the unpadded one; outside it everything is 0.0.
                    const bool live = i < lengths[b] && j <= i;
                    EXPECT_EQ(at(padded.scores, {b, h, i, j}),
                              live ? at(full.scores, {b, h, i, j}) : 0.0);
                    EXPECT_EQ(at(padded.probabilities, {b, h, i, j}),
                              live ? at(full.probabilities, {b, h, i, j}) : 0.0);
                }
            }
        }
        for (std::uint64_t i = 0; i < seq; ++i) {
            for (std::uint64_t c = 0; c < heads * head_dim; ++c) {
                EXPECT_EQ(at(padded.output, {b * seq + i, c}),
                          i < lengths[b] ? at(full.output, {b * seq + i, c}) : 0.0);
            }
        }
    }
}

TEST(Attention, ReducedPrecisionRoundsScoresProbabilitiesAndOutput) {
    const Tensor q = pattern(3, 4, 1), k = pattern(3, 4, 2), v = pattern(3, 4, 3);
    const AttentionResult r = attention(q, k, v, 1, 3, 2, 2, 2, {}, false);
    for (const Tensor* t : {&r.scores, &r.probabilities, &r.output}) {
        EXPECT_FALSE(t->double_precision);
        for (double x : t->data) EXPECT_EQ(x, static_cast<double>(static_cast<float>(x)));
    }
}

TEST(Attention, NonFiniteValuesAreOperatorFailures) {
    Tensor q = pattern(2, 2, 1);
    const Tensor k = pattern(2, 2, 2);
    Tensor v = pattern(2, 2, 3);
    at(v, {1, 0}) = std::numeric_limits<double>::infinity();
    EXPECT_THROW_MSG(attention(q, k, v, 1, 2, 1, 1, 2, {}, true), std::domain_error,
                     "transformer operator produced NaN/Inf");
    at(q, {0, 1}) = 1e300;
    EXPECT_THROW_MSG(attention(q, q, k, 1, 2, 1, 1, 2, {}, true), std::domain_error,
                     "transformer operator produced NaN/Inf");
}

TEST(Attention, StorageThatDisagreesWithTheShapeIsMisshapen) {
    // batch 2, seq 3, two query heads and one KV head of width 4.
    const Tensor q = pattern(6, 8, 1), kv = pattern(6, 4, 2);
    const std::vector<std::uint64_t> none;
    for (const std::size_t stored : {std::size_t{0}, std::size_t{23}, std::size_t{25}}) {
        SCOPED_TRACE(stored);
        const Tensor odd = tarvel_test::withStorage(kv, stored);
        EXPECT_THROW_MSG(
            attention(tarvel_test::withStorage(q, 2 * stored), kv, kv, 2, 3, 2, 1, 4, none, true),
            std::invalid_argument, "attention query has an invalid shape");
        EXPECT_THROW_MSG(attention(q, odd, kv, 2, 3, 2, 1, 4, none, true), std::invalid_argument,
                         "attention key has an invalid shape");
        EXPECT_THROW_MSG(attention(q, kv, odd, 2, 3, 2, 1, 4, none, true), std::invalid_argument,
                         "attention value has an invalid shape");
    }
}

}  // namespace

namespace {

// Scores formed and masked as the scoring says: each visible score is the plain scaled dot
// product, rescaled and capped by hand here; the window's excluded positions stay 0.0 like the
// causal mask's, and the softmax runs over the visible ones alone.
TEST(Attention, ScoringScalesCapsAndWindowsTheScores) {
    const std::uint64_t seq = 6, heads = 2, head_dim = 4;
    const Tensor q = pattern(seq, heads * head_dim, 4), k = pattern(seq, heads * head_dim, 5),
                 v = pattern(seq, heads * head_dim, 6);
    const AttentionResult plain = attention(q, k, v, 1, seq, heads, heads, head_dim, {}, true);
    struct Case {
        AttentionScoring scoring;
    };
    const Case cases[] = {{{0.0, 0.0, 0}},  {{9.0, 0.0, 0}}, {{0.0, 0.25, 0}}, {{0.0, 0.0, 3}},
                          {{9.0, 0.25, 2}}, {{0.0, 0.0, 1}}, {{0.0, 0.0, 6}}};
    for (const Case& c : cases) {
        const AttentionScoring& s = c.scoring;
        SCOPED_TRACE(::testing::Message() << s.score_scalar << " " << s.softcap << " " << s.window);
        const AttentionResult r = attention(q, k, v, 1, seq, heads, heads, head_dim, {}, s, true);
        for (std::uint64_t h = 0; h < heads; ++h) {
            for (std::uint64_t i = 0; i < seq; ++i) {
                std::vector<double> expected(seq, 0.0);
                double max = -std::numeric_limits<double>::infinity();
                for (std::uint64_t j = 0; j <= i; ++j) {
                    if (s.window != 0 && j + s.window <= i) continue;
                    // The plain score is the dot product times 1 / sqrt(4) = 0.5 exactly.
                    double x = at(plain.scores, {0, h, i, j}) / 0.5;
                    x *= s.score_scalar != 0.0 ? 1.0 / std::sqrt(s.score_scalar) : 0.5;
                    if (s.softcap != 0.0) x = s.softcap * std::tanh(x / s.softcap);
                    expected[j] = x;
                    max = std::max(max, x);
                }
                double z = 0.0;
                for (std::uint64_t j = 0; j <= i; ++j) {
                    if (s.window == 0 || j + s.window > i) z += std::exp(expected[j] - max);
                }
                for (std::uint64_t j = 0; j < seq; ++j) {
                    const bool seen = j <= i && (s.window == 0 || j + s.window > i);
                    EXPECT_NEAR(at(r.scores, {0, h, i, j}), expected[j], 1e-15);
                    const double p = seen ? std::exp(expected[j] - max) / z : 0.0;
                    EXPECT_NEAR(at(r.probabilities, {0, h, i, j}), p, 1e-15) << i << " " << j;
                    if (!seen) {
                        EXPECT_EQ(at(r.probabilities, {0, h, i, j}), 0.0);
                    }
                }
            }
        }
    }
    // A window of one position: every query sees only itself, so the output is its value row.
    const AttentionResult own =
        attention(q, k, v, 1, seq, heads, heads, head_dim, {}, AttentionScoring{0.0, 0.0, 1}, true);
    EXPECT_EQ(own.output.data, v.data);
    // The defaults are the plain attention, bit for bit.
    const AttentionResult defaults =
        attention(q, k, v, 1, seq, heads, heads, head_dim, {}, AttentionScoring{}, true);
    EXPECT_EQ(defaults.scores.data, plain.scores.data);
    EXPECT_EQ(defaults.output.data, plain.output.data);
}

TEST(Attention, InvalidScoringIsRefusedAfterTheShapes) {
    const Tensor q = pattern(2, 4, 1), kv = pattern(2, 4, 2), bad = pattern(3, 3, 3);
    for (const AttentionScoring& s :
         {AttentionScoring{-1.0, 0.0, 0}, AttentionScoring{0.0, std::nan(""), 0},
          AttentionScoring{std::numeric_limits<double>::infinity(), 0.0, 0}}) {
        EXPECT_THROW_MSG(attention(bad, kv, kv, 1, 2, 1, 1, 4, {}, s, true), std::invalid_argument,
                         "attention query has an invalid shape");
        EXPECT_THROW_MSG(attention(q, kv, kv, 1, 2, 1, 1, 4, {}, s, true), std::invalid_argument,
                         "attention scoring is invalid");
    }
}

}  // namespace
