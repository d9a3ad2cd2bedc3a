#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "support/tensors.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

const double nan_value = std::nan("");
const double inf = std::numeric_limits<double>::infinity();

// Distinct, non-trivial values so that a misplaced element shows.
Tensor ramp(std::uint64_t rows, std::uint64_t cols, double start) {
    Tensor t({rows, cols}, 0.0, true);
    for (std::size_t e = 0; e < t.data.size(); ++e) {
        t.data[e] = start + 0.37 * static_cast<double>(e) - 0.011 * static_cast<double>(e * e);
    }
    return t;
}

TEST(RopeTable, DimensionsAreCheckedBeforeBase) {
    struct Case {
        std::uint64_t positions, dim;
        double base;
        const char* message;
    };
    const char* dims = "RoPE table dimensions must be positive and even";
    const char* base = "RoPE base must be finite and positive";
    const Case cases[] = {
        {4, 3, nan_value, dims}, {4, 0, -1.0, dims}, {0, 4, 0.0, dims},
        {1, 1, 10.0, dims},      {4, 4, 0.0, base},  {4, 4, -1.0, base},
        {4, 4, nan_value, base}, {4, 4, inf, base},  {4, 4, -0.0, base},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.positions << " " << c.dim << " " << c.base);
        EXPECT_THROW_MSG(buildRopeTable(c.positions, c.dim, c.base, 0), std::invalid_argument,
                         c.message);
    }
}

TEST(RopeTable, AnglesAndLayout) {
    // dim 4: pair 0 has frequency 1, pair 1 divides the position by base^(2/4) = 10.
    const RopeTable table = buildRopeTable(3, 4, 100.0, 0);
    EXPECT_EQ(table.positions, 3u);
    EXPECT_EQ(table.dim, 4u);
    ASSERT_EQ(table.cos.size(), 6u);
    ASSERT_EQ(table.sin.size(), 6u);
    for (std::uint64_t k = 0; k < 2; ++k) {
        EXPECT_EQ(ropeCos(table, 0, k), 1.0);
        EXPECT_EQ(ropeSin(table, 0, k), 0.0);
    }
    EXPECT_EQ(ropeCos(table, 2, 0), std::cos(2.0));
    EXPECT_EQ(ropeSin(table, 2, 0), std::sin(2.0));
    EXPECT_EQ(ropeCos(table, 2, 1), std::cos(2.0 / 10.0));
    EXPECT_EQ(ropeSin(table, 2, 1), std::sin(2.0 / 10.0));
    EXPECT_EQ(table.sin[2 * 2 + 1], std::sin(2.0 / 10.0));
}

TEST(RopeTable, OffsetShiftsRows) {
    const RopeTable shifted = buildRopeTable(3, 8, 10000.0, 5);
    const RopeTable from_zero = buildRopeTable(8, 8, 10000.0, 0);
    for (std::uint64_t s = 0; s < 3; ++s) {
        for (std::uint64_t k = 0; k < 4; ++k) {
            EXPECT_EQ(ropeCos(shifted, s, k), ropeCos(from_zero, 5 + s, k));
            EXPECT_EQ(ropeSin(shifted, s, k), ropeSin(from_zero, 5 + s, k));
        }
    }
}

TEST(RopeTable, BaseOneUsesThePositionForEveryPair) {
    const RopeTable table = buildRopeTable(4, 6, 1.0, 0);
    for (std::uint64_t p = 0; p < 4; ++p) {
        for (std::uint64_t k = 0; k < 3; ++k) {
            EXPECT_EQ(ropeCos(table, p, k), std::cos(static_cast<double>(p)));
            EXPECT_EQ(ropeSin(table, p, k), std::sin(static_cast<double>(p)));
        }
    }
}

TEST(RopeTable, LookupsOutsideTheTable) {
    const RopeTable table = buildRopeTable(3, 4, 10000.0, 0);
    for (auto lookup : {ropeCos, ropeSin}) {
        EXPECT_THROW_MSG(lookup(table, 3, 0), std::out_of_range, "RoPE table index out of bounds");
        EXPECT_THROW_MSG(lookup(table, 0, 2), std::out_of_range, "RoPE table index out of bounds");
        EXPECT_NO_THROW(lookup(table, 2, 1));
    }
}

TEST(ApplyRope, ChecksTableLengthThenQueryThenKey) {
    const RopeTable table = buildRopeTable(2, 4, 10000.0, 0);
    Tensor query = ramp(6, 8, 0.5);  // batch 2, seq 3, two query heads
    Tensor key = ramp(6, 4, 0.1);    // one KV head
    Tensor misshapen({5, 8}, 0.0, true);
    EXPECT_THROW_MSG(applyRopeTable(misshapen, misshapen, 2, 3, 2, 1, table, true),
                     std::invalid_argument, "RoPE table is shorter than the sequence");

    const RopeTable long_enough = buildRopeTable(3, 4, 10000.0, 0);
    EXPECT_THROW_MSG(applyRopeTable(misshapen, key, 2, 3, 2, 1, long_enough, true),
                     std::invalid_argument, "RoPE query has an invalid shape");
    Tensor key_for_query_heads = ramp(6, 8, 0.1);
    const Tensor before = query;
    EXPECT_THROW_MSG(applyRopeTable(query, key_for_query_heads, 2, 3, 2, 1, long_enough, true),
                     std::invalid_argument, "RoPE key has an invalid shape");
    EXPECT_EQ(query.data, before.data) << "nothing is rotated before the shapes pass";
    EXPECT_THROW_MSG(applyRope(query, key, 2, 3, 2, 1, 5, 10000.0, 0, true), std::invalid_argument,
                     "RoPE table dimensions must be positive and even");
}

TEST(ApplyRope, RotatesInterleavedPairsByTheTokenPosition) {
    // batch 2, seq 3, query heads 2 sharing one KV head of width 4.
    const std::uint64_t batch = 2, seq = 3, head_dim = 4;
    Tensor query = ramp(batch * seq, 2 * head_dim, 0.5);
    Tensor key = ramp(batch * seq, head_dim, -0.3);
    const Tensor query_before = query;
    const Tensor key_before = key;
    const double base = 50.0;
    applyRope(query, key, batch, seq, 2, 1, head_dim, base, 0, true);

    for (std::uint64_t b = 0; b < batch; ++b) {
        for (std::uint64_t s = 0; s < seq; ++s) {
            const std::uint64_t row = b * seq + s;
            for (std::uint64_t k = 0; k < head_dim / 2; ++k) {
                // Pair k of every head turns by position / base^(2k / head_dim).
                const double theta =
                    static_cast<double>(s) / std::pow(base, static_cast<double>(2 * k) / 4.0);
                const double c = std::cos(theta), sn = std::sin(theta);
                auto expectRotated = [&](const Tensor& before, const Tensor& after,
                                         std::uint64_t col) {
                    const double x0 = at(before, {row, col}), x1 = at(before, {row, col + 1});
                    EXPECT_EQ(at(after, {row, col}), x0 * c - x1 * sn);
                    EXPECT_EQ(at(after, {row, col + 1}), x1 * c + x0 * sn);
                };
                expectRotated(query_before, query, 2 * k);
                expectRotated(query_before, query, head_dim + 2 * k);
                expectRotated(key_before, key, 2 * k);
            }
            if (s == 0) {
                for (std::uint64_t col = 0; col < 2 * head_dim; ++col) {
                    EXPECT_EQ(at(query, {row, col}), at(query_before, {row, col}));
                }
            }
        }
    }
}

TEST(ApplyRope, OffsetContinuesPositions) {
    // Rotating rows 2..4 of a sequence with offset 2 equals rows 2..4 of a rotation from 0.
    Tensor query = ramp(5, 4, 0.2), key = ramp(5, 2, 0.9);
    Tensor tail_query({3, 4}, 0.0, true), tail_key({3, 2}, 0.0, true);
    for (std::uint64_t r = 0; r < 3; ++r) {
        for (std::uint64_t c = 0; c < 4; ++c) at(tail_query, {r, c}) = at(query, {r + 2, c});
        for (std::uint64_t c = 0; c < 2; ++c) at(tail_key, {r, c}) = at(key, {r + 2, c});
    }
    applyRope(query, key, 1, 5, 2, 1, 2, 10000.0, 0, true);
    applyRope(tail_query, tail_key, 1, 3, 2, 1, 2, 10000.0, 2, true);
    for (std::uint64_t r = 0; r < 3; ++r) {
        for (std::uint64_t c = 0; c < 4; ++c)
            EXPECT_EQ(at(tail_query, {r, c}), at(query, {r + 2, c}));
        for (std::uint64_t c = 0; c < 2; ++c) EXPECT_EQ(at(tail_key, {r, c}), at(key, {r + 2, c}));
    }
}

TEST(ApplyRope, ReducedPrecisionAndNonFiniteValues) {
    Tensor query = ramp(2, 4, 0.1), key = ramp(2, 4, 0.7);
    Tensor exact_query = query, exact_key = key;
    applyRope(exact_query, exact_key, 1, 2, 1, 1, 4, 10000.0, 3, true);
    applyRope(query, key, 1, 2, 1, 1, 4, 10000.0, 3, false);
    for (std::size_t e = 0; e < query.data.size(); ++e) {
        EXPECT_EQ(query.data[e], static_cast<double>(static_cast<float>(exact_query.data[e])));
        EXPECT_EQ(key.data[e], static_cast<double>(static_cast<float>(exact_key.data[e])));
    }

    Tensor bad_query = ramp(2, 4, 0.1), bad_key = ramp(2, 4, 0.7);
    at(bad_key, {1, 2}) = nan_value;
    EXPECT_THROW_MSG(applyRope(bad_query, bad_key, 1, 2, 1, 1, 4, 10000.0, 0, true),
                     std::domain_error, "transformer operator produced NaN/Inf");
}

TEST(ApplyRope, StorageThatDisagreesWithTheShapeIsMisshapen) {
    const RopeTable table = buildRopeTable(3, 4, 10000.0, 0);
    const Tensor query = ramp(6, 8, 0.5);  // batch 2, seq 3, two query heads
    const Tensor key = ramp(6, 4, 0.1);    // one KV head
    for (const std::size_t stored : {std::size_t{0}, std::size_t{23}, std::size_t{25}}) {
        SCOPED_TRACE(stored);
        Tensor q = tarvel_test::withStorage(query, 2 * stored);
        Tensor k = key;
        EXPECT_THROW_MSG(applyRopeTable(q, k, 2, 3, 2, 1, table, true), std::invalid_argument,
                         "RoPE query has an invalid shape");
        q = query;
        k = tarvel_test::withStorage(key, stored);
        EXPECT_THROW_MSG(applyRopeTable(q, k, 2, 3, 2, 1, table, true), std::invalid_argument,
                         "RoPE key has an invalid shape");
        EXPECT_EQ(q.data, query.data) << "nothing is rotated before the shapes pass";
    }
}

// A table is a plain record: one whose entries fall short of what its positions and width
// claim is read only as far as its entries go.
TEST(RopeTable, LookupsNeverReadPastTheStoredEntries) {
    RopeTable table = buildRopeTable(3, 4, 10000.0, 0);
    table.cos.resize(5);
    table.sin.clear();
    EXPECT_NO_THROW(ropeCos(table, 2, 0));
    EXPECT_THROW_MSG(ropeCos(table, 2, 1), std::out_of_range, "RoPE table index out of bounds");
    EXPECT_THROW_MSG(ropeSin(table, 0, 0), std::out_of_range, "RoPE table index out of bounds");
    Tensor query = ramp(6, 8, 0.5);
    Tensor key = ramp(6, 4, 0.1);
    EXPECT_THROW_MSG(applyRopeTable(query, key, 2, 3, 2, 1, table, true), std::out_of_range,
                     "RoPE table index out of bounds");
}

}  // namespace

namespace {

// llama3 with the published parameters: factor 8, frequency factors 1 and 4, original context
// 8192, so wavelengths below 2048 are kept, those above 8192 divided by 8, and those between
// blended with weight s = (8192 / wavelength - 1) / 3.
TEST(RopeScaling, InverseFrequenciesByBand) {
    const double two_pi = 6.283185307179586;
    const RopeScalingSpec llama3{RopeScalingKind::llama3, 8.0, 1.0, 4.0, 8192};
    const double short_f = two_pi / 1000.0, long_f = two_pi / 10000.0, mid_f = two_pi / 4096.0;
    EXPECT_EQ(scaledInverseFrequency(short_f, llama3), short_f);
    EXPECT_EQ(scaledInverseFrequency(long_f, llama3), long_f / 8.0);
    const double s = (8192.0 / 4096.0 - 1.0) / 3.0;
    EXPECT_NEAR(scaledInverseFrequency(mid_f, llama3), (1.0 - s) * (mid_f / 8.0) + s * mid_f,
                1e-15 * mid_f);
    // The band's edges join the outer bands continuously.
    EXPECT_NEAR(scaledInverseFrequency(two_pi / 2048.0 * (1.0 - 1e-12), llama3), two_pi / 2048.0,
                1e-9 * two_pi / 2048.0);
    EXPECT_NEAR(scaledInverseFrequency(two_pi / 8192.0 * (1.0 + 1e-12), llama3),
                two_pi / 8192.0 / 8.0, 1e-9 * two_pi / 8192.0);
    EXPECT_EQ(scaledInverseFrequency(0.3, RopeScalingSpec{RopeScalingKind::linear, 4.0}), 0.075);
    EXPECT_EQ(scaledInverseFrequency(0.3, RopeScalingSpec{}), 0.3);
}

TEST(RopeScaling, TablesUseTheScaledFrequencies) {
    // Linear 2: position 2 turns as far as position 1 of the plain table.
    const RopeTable plain = buildRopeTable(2, 4, 100.0, 0);
    const RopeTable linear =
        buildRopeTable(3, 4, 100.0, 0, RopeScalingSpec{RopeScalingKind::linear, 2.0});
    for (std::uint64_t k = 0; k < 2; ++k) {
        EXPECT_EQ(ropeCos(linear, 2, k), ropeCos(plain, 1, k));
        EXPECT_EQ(ropeSin(linear, 2, k), ropeSin(plain, 1, k));
    }
    // llama3, read at an offset: angle = position * scaled inverse frequency.
    const RopeScalingSpec llama3{RopeScalingKind::llama3, 8.0, 1.0, 4.0, 64};
    const RopeTable table = buildRopeTable(2, 8, 10000.0, 5, llama3);
    for (std::uint64_t k = 0; k < 4; ++k) {
        const double f = scaledInverseFrequency(
            1.0 / std::pow(10000.0, static_cast<double>(2 * k) / 8.0), llama3);
        EXPECT_EQ(ropeCos(table, 1, k), std::cos(6.0 * f));
        EXPECT_EQ(ropeSin(table, 1, k), std::sin(6.0 * f));
    }
    // No scaling is the plain table, bit for bit.
    const RopeTable none = buildRopeTable(5, 6, 500.0, 3, RopeScalingSpec{});
    const RopeTable same = buildRopeTable(5, 6, 500.0, 3);
    EXPECT_EQ(none.cos, same.cos);
    EXPECT_EQ(none.sin, same.sin);
}

TEST(RopeScaling, InvalidParametersAreRefusedAfterDimensionsAndBase) {
    const RopeScalingSpec bad[] = {
        {RopeScalingKind::linear, 0.0},
        {RopeScalingKind::llama3, 8.0, 4.0, 4.0, 64},
        {RopeScalingKind::llama3, 8.0, 1.0, 4.0, 0},
        {static_cast<RopeScalingKind>(3), 1.0},
    };
    for (const RopeScalingSpec& scaling : bad) {
        EXPECT_THROW_MSG(buildRopeTable(2, 3, 100.0, 0, scaling), std::invalid_argument,
                         "RoPE table dimensions must be positive and even");
        EXPECT_THROW_MSG(buildRopeTable(2, 4, 0.0, 0, scaling), std::invalid_argument,
                         "RoPE base must be finite and positive");
        EXPECT_THROW_MSG(buildRopeTable(2, 4, 100.0, 0, scaling), std::invalid_argument,
                         "RoPE scaling is invalid");
    }
}

}  // namespace
