#include "tests/alloc/failing_allocator.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
// Steps run their pieces on several threads at once, so every counter is atomic; the n-th
// allocation after arming is the n-th to claim a number, whichever thread makes it.
std::atomic<std::uint64_t> fail_at{0};
std::atomic<std::uint64_t> since_armed{0};
std::atomic<std::int64_t> live{0};
std::atomic<std::uint64_t> live_bytes{0};
std::atomic<std::uint64_t> peak_bytes{0};

void* allocate(std::size_t size, std::size_t alignment) {
    const std::uint64_t armed = fail_at.load();
    if (armed != 0 && since_armed.fetch_add(1) + 1 == armed) throw std::bad_alloc();
    if (size == 0) size = 1;
    void* p = nullptr;
    if (alignment > alignof(std::max_align_t)) {
        const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
        p = std::aligned_alloc(alignment, rounded);
    } else {
        p = std::malloc(size);
    }
    if (p == nullptr) throw std::bad_alloc();
    ++live;
    const std::uint64_t now = live_bytes += malloc_usable_size(p);
    std::uint64_t peak = peak_bytes.load();
    while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    --live;
    live_bytes -= malloc_usable_size(p);
    std::free(p);
}
}  // namespace

namespace tarvel_alloc {
void failAt(std::uint64_t n) {
    // Counting restarts before the new target is set, so no allocation in between meets it.
    fail_at = 0;
    since_armed = 0;
    fail_at = n;
}
std::uint64_t allocationsSinceArmed() {
    return since_armed;
}
std::int64_t liveAllocations() {
    return live;
}
std::uint64_t liveBytes() {
    return live_bytes;
}
std::uint64_t peakBytes() {
    return peak_bytes;
}
void resetPeakBytes() {
    peak_bytes = live_bytes.load();
}
}  // namespace tarvel_alloc

void* operator new(std::size_t size) {
    return allocate(size, 0);
}
void* operator new[](std::size_t size) {
    return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size, 0);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size, 0);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
