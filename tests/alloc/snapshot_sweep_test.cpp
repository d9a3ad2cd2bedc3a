#include <gtest/gtest.h>

#include <new>
#include <string>

#include "support/models.hpp"
#include "support/snapshot_editor.hpp"
#include "tests/alloc/failing_allocator.hpp"
#include "tests/alloc/sweep.hpp"

using namespace tarvel_test;

namespace {

// A session of a tokenizer-bound model holding `tokens`, the tokenizer state `state` and the
// given aux (only a restore can set the last two).
TransformerKvSession sessionHolding(const std::shared_ptr<const TransformerModel>& model,
                                    const std::vector<std::uint32_t>& tokens,
                                    const std::string& state, std::uint64_t aux) {
    TransformerKvSession s(model, 5);
    (void)forwardCached(fixtureBatch(tokens), s, TransformerKvOptions{});
    return withStateAndAux(std::move(s), state, aux, generous_limits);
}

// A failed restore leaves the session byte for byte as it was; the one that gets through
// makes it the saved session.
TEST(AllocationSweep, RestoreIsAllOrNothing) {
    const auto model = makeModel(fixtureSpec(false, 2), 1.0, "tok-v1");
    const TransformerKvSession held = sessionHolding(model, {1, 2, 3}, "abc", 0);
    const ByteBuffer before = saveSnapshot(held);
    const ByteBuffer bytes = saveSnapshot(sessionHolding(model, {4, 5, 6, 7, 8}, "hello", 7));

    const std::uint64_t swept = tarvel_alloc::sweepAllocations("restoreSnapshot", [&](auto n) {
        TransformerKvSession target = held;
        bool failed = false;
        try {
            tarvel_alloc::Armed armed(n);
            restoreSnapshot(target, bytes, generous_limits);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        EXPECT_EQ(saveSnapshot(target), failed ? before : bytes) << "allocation " << n;
        return !failed;
    });
    EXPECT_GT(swept, 8u);  // header and manifest strings, records, tokens, state, four tensors
}

TEST(AllocationSweep, SaveLeavesTheSessionAlone) {
    const auto model = makeModel(fixtureSpec(true, 2), 2.0, "tok-v1");
    const TransformerKvSession s = sessionHolding(model, {1, 2, 3, 4}, "xyz", 3);
    const ByteBuffer reference = saveSnapshot(s);

    const std::uint64_t swept = tarvel_alloc::sweepAllocations("saveSnapshot", [&](auto n) {
        ByteBuffer bytes;
        bool failed = false;
        try {
            tarvel_alloc::Armed armed(n);
            bytes = saveSnapshot(s);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        EXPECT_EQ(saveSnapshot(s), reference) << "allocation " << n;
        if (!failed) {
            EXPECT_EQ(bytes, reference);
        }
        return !failed;
    });
    EXPECT_GT(swept, 8u);
}

}  // namespace
