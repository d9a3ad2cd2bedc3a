#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/models.hpp"
#include "tests/alloc/failing_allocator.hpp"

using namespace tarvel_test;

namespace {

enum class Outcome { success, kv_cache, prefix_copy, prefix_append, other };

Outcome runStep(TransformerKvSession& s, const TokenBatch& chunk, const TransformerKvOptions& o,
                std::uint64_t fail_at) {
    try {
        tarvel_alloc::Armed armed(fail_at);
        (void)forwardCached(chunk, s, o);
        return Outcome::success;
    } catch (const TransformerKvError& e) {
        if (e.kind() != TransformerKvErrorKind::resource_limit) return Outcome::other;
        if (std::string(e.what()) == "KV cache allocation failed") return Outcome::kv_cache;
        if (std::string(e.what()) == "token prefix allocation failed") {
            return Outcome::prefix_append;
        }
        return Outcome::other;
    } catch (const std::bad_alloc&) {
        return Outcome::prefix_copy;
    } catch (...) {
        return Outcome::other;
    }
}

// Sweeps the injected failure over every allocation the step makes. The outcomes must run
// through the step's phases in order: the computation ("KV cache allocation failed"), then the
// prefix copy (a plain std::bad_alloc, only when there is a prefix to copy), then its append
// ("token prefix allocation failed"), then success; and every failure leaves the session as
// it was.
void sweep(TransformerKvSession& s, const TokenBatch& chunk, bool has_prefix) {
    const auto before = saveSnapshot(s);
    std::vector<Outcome> outcomes;
    for (std::uint64_t n = 1;; ++n) {
        TransformerKvSession trial = s;
        const std::int64_t live = tarvel_alloc::liveAllocations();
        const Outcome outcome = runStep(trial, chunk, TransformerKvOptions{}, n);
        if (outcome != Outcome::success) {
            EXPECT_EQ(tarvel_alloc::liveAllocations(), live) << "leak at allocation " << n;
        }
        outcomes.push_back(outcome);
        if (outcome == Outcome::success) break;
        ASSERT_NE(outcome, Outcome::other) << "allocation " << n;
        ASSERT_EQ(saveSnapshot(trial), before) << "allocation " << n;
        ASSERT_LT(n, 100000u);
    }
    // Fewer outcomes means the injected failures never fired (the allocator was bypassed).
    ASSERT_GE(outcomes.size(), has_prefix ? 4u : 3u);
    std::vector<Outcome> expected(outcomes.size() - (has_prefix ? 3 : 2), Outcome::kv_cache);
    if (has_prefix) expected.push_back(Outcome::prefix_copy);
    expected.push_back(Outcome::prefix_append);
    expected.push_back(Outcome::success);
    EXPECT_EQ(outcomes, expected);
    std::printf("step of width %llu from position %llu: %zu allocations swept\n",
                static_cast<unsigned long long>(chunk.width),
                static_cast<unsigned long long>(s.position()), outcomes.size() - 1);
}

TEST(AllocationSweep, PrefillAndDecodeSteps) {
    const auto model = fixtureModel(fixtureSpec(true, 2), 3.0);
    TransformerKvSession s(model, 1);
    sweep(s, fixtureBatch({1, 2, 3}), false);
    (void)forwardCached(fixtureBatch({1, 2, 3}), s, {});
    sweep(s, fixtureBatch({4}), true);
}

TEST(AllocationSweep, ForkThrowsCleanlyAndLeaksNothing) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    (void)forwardCached(fixtureBatch({1, 2, 3}), s, {});
    const auto before = saveSnapshot(s);
    std::uint64_t swept = 0;
    for (std::uint64_t n = 1;; ++n) {
        const std::int64_t live = tarvel_alloc::liveAllocations();
        const long owners = model.use_count();
        bool failed = false;
        try {
            tarvel_alloc::Armed armed(n);
            TransformerKvSession fork = s;
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        EXPECT_EQ(tarvel_alloc::liveAllocations(), live);
        EXPECT_EQ(model.use_count(), owners);
        if (!failed) break;
        ++swept;
        ASSERT_LT(n, 10000u);
    }
    EXPECT_EQ(saveSnapshot(s), before);
    EXPECT_GT(swept, 8u);  // prefix, cache list and four cache tensors' shapes and data
    std::printf("fork: %llu allocations swept\n", static_cast<unsigned long long>(swept));
}

}  // namespace
