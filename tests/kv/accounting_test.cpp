#include <gtest/gtest.h>

#include "support/expect_throw.hpp"
#include "support/models.hpp"
#include "tarvel/kv/detail/accounting.hpp"

using namespace tarvel_test;

namespace {

TEST(KvAccounting, BytesPerTokenForEveryDtype) {
    TransformerSpec spec = fixtureSpec(false, 2);  // layers 2, kv_heads 2, head_dim 2
    EXPECT_EQ(kvElementSize(DType::f32), 4u);
    EXPECT_EQ(kvElementSize(DType::f16), 2u);
    EXPECT_EQ(kvElementSize(DType::bf16), 2u);
    EXPECT_EQ(kvBytesPerToken(spec), 64u);
    spec.precision.kv_cache = DType::f16;
    EXPECT_EQ(kvBytesPerToken(spec), 32u);
    spec.precision.kv_cache = DType::bf16;
    EXPECT_EQ(kvBytesPerToken(spec), 32u);
    spec.precision.kv_cache = static_cast<DType>(3);
    expectKvThrow([&] { (void)kvBytesPerToken(spec); }, TransformerKvErrorKind::invalid_input,
                  "unknown KV dtype");
}

TEST(KvAccounting, OverflowComesBeforeTheDtypeLookup) {
    TransformerSpec spec;
    spec.layers = spec.kv_heads = spec.head_dim = 4294967295u;
    spec.precision.kv_cache = static_cast<DType>(9);
    expectKvThrow([&] { (void)kvBytesPerToken(spec); }, TransformerKvErrorKind::resource_limit,
                  "KV cache size overflows");
    // Representable per token, but not for this many tokens.
    TransformerSpec wide;
    wide.layers = 1;
    wide.kv_heads = 4294967295u;
    wide.head_dim = 4294967295u;
    expectKvThrow([&] { (void)detail::kvStatsFor(wide, 1u << 20); },
                  TransformerKvErrorKind::resource_limit, "KV cache size overflows");
}

TEST(KvAccounting, StatsAfterSixTokensAndObserverCalls) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    std::vector<TransformerKvStats> seen;
    TransformerKvOptions options;
    options.observer = [&](const TransformerKvStats& stats) { seen.push_back(stats); };
    const auto prefill = forwardCached(fixtureBatch({1, 2, 3}), s, options);
    const auto decode = forwardCached(fixtureBatch({4, 5}), s, options);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], prefill.stats);
    EXPECT_EQ(seen[1], decode.stats);
    EXPECT_EQ(seen[1].utilization, 1.0);
    (void)forwardCached(fixtureBatch({6}), s, TransformerKvOptions{});
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(kvStats(s), (TransformerKvStats{6, 96, 384, 384, 1.0}));
    TransformerKvSession copy = s;
    s.reset(1);
    EXPECT_EQ(seen.size(), 2u);  // nothing but a step calls the observer
}

TEST(KvAccounting, ByteLimitBoundaries) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    for (std::uint64_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        std::vector<std::uint32_t> tokens(n, 1);
        TransformerKvOptions options;
        bool observed = false;
        options.observer = [&](const TransformerKvStats&) { observed = true; };
        TransformerKvSession s(model, 1);
        const auto before = saveSnapshot(s);
        for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, 64 * n - 1}) {
            options.max_cache_bytes = limit;
            expectKvThrow([&] { (void)forwardCached(fixtureBatch(tokens), s, options); },
                          TransformerKvErrorKind::resource_limit,
                          "KV cache exceeds configured byte limit");
            EXPECT_FALSE(observed);
            EXPECT_EQ(saveSnapshot(s), before);
        }
        options.max_cache_bytes = 64 * n;
        EXPECT_NO_THROW((void)forwardCached(fixtureBatch(tokens), s, options));
        EXPECT_TRUE(observed);
        // The limit bounds the whole cache after the step, not the growth.
        options.max_cache_bytes = 64 * n;
        expectKvThrow([&] { (void)forwardCached(fixtureBatch({1}), s, options); },
                      TransformerKvErrorKind::resource_limit,
                      "KV cache exceeds configured byte limit");
    }
}

}  // namespace
