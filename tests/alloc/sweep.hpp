#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include "tests/alloc/failing_allocator.hpp"

namespace tarvel_alloc {

// Runs `trial(n)` with the n-th allocation failing, for n = 1, 2, ... until a trial completes
// without meeting its failure. A trial arms the failure itself around the operation only, owns
// every object it makes and destroys them before it returns, so the live count after it must be
// the one before it whether the operation failed or not. Returns the allocations swept.
template <typename Trial>
std::uint64_t sweepAllocations(const char* operation, Trial trial) {
    for (std::uint64_t n = 1;; ++n) {
        // Measured before the trial makes anything, so its own objects cancel out.
        const std::int64_t live = liveAllocations();
        const bool completed = trial(n);
        EXPECT_EQ(liveAllocations(), live) << operation << ": leak at allocation " << n;
        if (completed) {
            std::printf("%s: %llu allocations swept\n", operation,
                        static_cast<unsigned long long>(n - 1));
            return n - 1;
        }
        if (n == 100000) {
            ADD_FAILURE() << operation << " still fails after " << n << " allocations";
            return n;
        }
    }
}

}  // namespace tarvel_alloc
