#pragma once

#include <cstddef>
#include <cstdint>

// This test binary replaces the global allocation functions with a counter that can be armed
// to throw std::bad_alloc at the N-th allocation from now on.
namespace tarvel_alloc {

// Arms a failure at the n-th allocation (1 = the next one); 0 disarms.
void failAt(std::uint64_t n);
// Allocations made since the last failAt, and allocations currently live.
std::uint64_t allocationsSinceArmed();
std::int64_t liveAllocations();

// Bytes held by live allocations (as the C library sizes them, which may round a request up),
// and the most they reached since the last resetPeakBytes.
std::uint64_t liveBytes();
std::uint64_t peakBytes();
void resetPeakBytes();

// Disarms on scope exit, so that test assertions never see an injected failure.
struct Armed {
    explicit Armed(std::uint64_t n) { failAt(n); }
    ~Armed() { failAt(0); }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
};

}  // namespace tarvel_alloc
