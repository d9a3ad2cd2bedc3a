#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/feature_models.hpp"
#include "support/models.hpp"
#include "support/small_model.hpp"
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
void sweep(TransformerKvSession& s, const TokenBatch& chunk, bool has_prefix,
           std::uint32_t threads = 0) {
    TransformerKvOptions options;
    options.threads = threads;
    const auto before = saveSnapshot(s);
    std::vector<Outcome> outcomes;
    for (std::uint64_t n = 1;; ++n) {
        TransformerKvSession trial = s;
        const std::int64_t live = tarvel_alloc::liveAllocations();
        const Outcome outcome = runStep(trial, chunk, options, n);
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
    std::printf("step of width %llu from position %llu, threads option %u: %zu allocations swept\n",
                static_cast<unsigned long long>(chunk.width),
                static_cast<unsigned long long>(s.position()), threads, outcomes.size() - 1);
}

TEST(AllocationSweep, PrefillAndDecodeSteps) {
    const auto model = fixtureModel(fixtureSpec(true, 2), 3.0);
    TransformerKvSession s(model, 1);
    sweep(s, fixtureBatch({1, 2, 3}), false);
    (void)forwardCached(fixtureBatch({1, 2, 3}), s, {});
    sweep(s, fixtureBatch({4}), true);
}

// Every family's features allocate inside the computation only: any failure there is the step's
// own and changes nothing.
TEST(AllocationSweep, StepsOfEveryFamily) {
    for (const FeatureModel& m : featureModels()) {
        SCOPED_TRACE(m.name);
        const auto model = featureModel(m.spec, 6);
        TransformerKvSession s(model, 1);
        sweep(s, fixtureBatch({1, 2, 3, 4}), false);
        (void)forwardCached(fixtureBatch({1, 2, 3, 4}), s, {});
        sweep(s, fixtureBatch({5}), true);
    }
}

// The same on four threads, with a model wide enough that a prefill splits its projections and
// attention into pieces, each allocating its own scratch on its own thread: a failure in any
// piece fails the step as a whole and leaves the session as it was.
TEST(AllocationSweep, PrefillAndDecodeStepsOnFourThreads) {
    tarvel_test::ModelShape shape;
    shape.vocabulary = 300;
    shape.context = 40;
    shape.query_heads = 4;
    shape.kv_heads = 2;
    shape.head_dim = 16;
    shape.ffn_dim = 164;
    const auto model = std::make_shared<const TransformerModel>(tarvel_test::makeSpec(shape),
                                                                tarvel_test::makeWeights(shape, 4));
    std::vector<std::uint32_t> prompt;
    for (std::uint32_t t = 0; t < 28; ++t) prompt.push_back((t * 37 + 5) % shape.vocabulary);
    TransformerKvOptions four;
    four.threads = 4;
    TransformerKvSession s(model, 1);
    {
        // The calling thread's four-thread arena and the workers are made once and kept; made
        // here, outside the sweep, they are not mistaken for a leak.
        TransformerKvSession warm = s;
        (void)forwardCached(fixtureBatch(prompt), warm, four);
    }
    sweep(s, fixtureBatch(prompt), false, 4);
    (void)forwardCached(fixtureBatch(prompt), s, four);
    sweep(s, fixtureBatch({7}), true, 4);
    sweep(s, fixtureBatch({7, 8, 9}), true, 4);
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
