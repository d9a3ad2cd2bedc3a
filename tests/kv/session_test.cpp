#include <gtest/gtest.h>

#include <limits>

#include "support/expect_throw.hpp"
#include "support/models.hpp"

using namespace tarvel_test;

namespace {

TEST(KvSession, ConstructionAndTags) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    EXPECT_THROW_MSG(TransformerKvSession(nullptr, 1), std::invalid_argument,
                     "session requires a model");
    TransformerKvSession zero(model, 0);
    EXPECT_EQ(zero.tag(), 1u);
    TransformerKvSession seven(model, 7);
    EXPECT_EQ(seven.tag(), 7u);
    EXPECT_EQ(seven.position(), 0u);
    EXPECT_EQ(seven.aux(), 0u);
    EXPECT_TRUE(seven.token_prefix().empty());
    EXPECT_TRUE(seven.tokenizer_state().empty());
    EXPECT_TRUE(seven.cache().empty());
    EXPECT_EQ(seven.model(), model);
    EXPECT_EQ(kvStats(seven), (TransformerKvStats{0, 0, 0, 0, 0.0}));
}

TEST(KvSession, SetTokenPrefixChecksContextThenIdsAndChangesNothingOnFailure) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);  // context 8, vocabulary 11
    TransformerKvSession s(model, 1);
    s.setTokenPrefix({1, 2});
    EXPECT_THROW_MSG(s.setTokenPrefix(std::vector<std::uint32_t>(9, 1)), std::out_of_range,
                     "session input exceeds context");
    EXPECT_THROW_MSG(s.setTokenPrefix(std::vector<std::uint32_t>(9, 11)), std::out_of_range,
                     "session input exceeds context");
    EXPECT_THROW_MSG(s.setTokenPrefix({1, 2, 3, 4, 5, 6, 7, 11}), std::out_of_range,
                     "session token exceeds vocabulary");
    EXPECT_EQ(s.token_prefix(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(s.position(), 0u);
    s.setTokenPrefix(std::vector<std::uint32_t>(8, 10));
    EXPECT_EQ(s.token_prefix().size(), 8u);
}

TEST(KvSession, SetCacheRefusesNonFiniteValuesAndKeepsTheOldCache) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    std::vector<Tensor> good;
    good.emplace_back(std::vector<std::uint64_t>{1, 1, 1, 1}, 0.5, true);
    s.setCache(good);
    std::vector<Tensor> bad = good;
    bad.emplace_back(std::vector<std::uint64_t>{2}, 0.0, true);
    bad.back().data[1] = std::numeric_limits<double>::infinity();
    EXPECT_THROW_MSG(s.setCache(bad), std::invalid_argument, "session cache contains NaN/Inf");
    ASSERT_EQ(s.cache().size(), 1u);
    EXPECT_EQ(s.cache()[0].data, good[0].data);
}

TEST(KvSession, AdvancePositionBounds) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    s.advancePosition(1);
    EXPECT_EQ(s.position(), 1u);
    EXPECT_TRUE(s.token_prefix().empty());
    s.advancePosition(6);
    EXPECT_EQ(s.position(), 7u);
    EXPECT_THROW_MSG(s.advancePosition(2), std::out_of_range, "session position exceeds context");
    EXPECT_THROW_MSG(s.advancePosition(std::numeric_limits<std::uint64_t>::max()), ArtifactError,
                     "artifact offset overflows");
    EXPECT_EQ(s.position(), 7u);
    s.advancePosition(1);
    EXPECT_EQ(s.position(), 8u);
}

TEST(KvSession, ForkCopiesDeeplyAndSharesOnlyTheModel) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession source(model, 3);
    (void)forwardCached(fixtureBatch({1, 2}), source, TransformerKvOptions{});
    const long owners = model.use_count();
    TransformerKvSession fork = source;
    EXPECT_EQ(model.use_count(), owners + 1);
    EXPECT_EQ(fork.model(), source.model());
    EXPECT_EQ(fork.tag(), 3u);
    EXPECT_EQ(fork.position(), 2u);
    ASSERT_EQ(fork.cache().size(), source.cache().size());
    EXPECT_NE(fork.cache()[0].data.data(), source.cache()[0].data.data());
    const auto before = saveSnapshot(source);
    (void)forwardCached(fixtureBatch({3}), fork, TransformerKvOptions{});
    EXPECT_EQ(saveSnapshot(source), before);
    EXPECT_EQ(fork.position(), 3u);
}

TEST(KvSession, ResetReturnsToFresh) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 5);
    (void)forwardCached(fixtureBatch({1, 2, 3, 4, 5}), s, TransformerKvOptions{});
    s.reset(0);
    EXPECT_EQ(s.tag(), 1u);
    EXPECT_EQ(s.position(), 0u);
    EXPECT_TRUE(s.token_prefix().empty());
    EXPECT_TRUE(s.cache().empty());
    EXPECT_EQ(s.model(), model);
    TransformerKvSession fresh(model, 1);
    EXPECT_EQ(saveSnapshot(s), saveSnapshot(fresh));
    const auto a = forwardCached(fixtureBatch({7}), s, TransformerKvOptions{});
    const auto b = forwardCached(fixtureBatch({7}), fresh, TransformerKvOptions{});
    EXPECT_EQ(a.logits.data, b.logits.data);
    EXPECT_EQ(a.stats, b.stats);
}

}  // namespace
