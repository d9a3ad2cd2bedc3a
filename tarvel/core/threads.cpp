#include "tarvel/core/threads.hpp"

#include <oneapi/tbb/info.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "tarvel/core/detail/parallel.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

// Where the passes' sums go: the compiler must assume they are read, so no pass is dropped.
std::atomic<std::uint64_t> bandwidth_sink{0};

}  // namespace

std::uint32_t effectiveThreads(std::uint32_t requested) noexcept {
    if (requested == 0) {
        const int hardware = tbb::info::default_concurrency();
        requested = hardware > 0 ? static_cast<std::uint32_t>(hardware) : 1;
    }
    return std::min(requested, max_threads);
}

double measureReadBandwidth(std::uint32_t threads, std::uint64_t buffer_bytes) {
    const std::uint32_t count = effectiveThreads(threads);
    const auto words = static_cast<std::size_t>(std::max<std::uint64_t>(buffer_bytes / 8, 1));
    std::vector<std::uint64_t> buffer(words);
    double best = 0.0;
    detail::runWithThreads(count, [&] {
        // Each thread writes the part it reads, so that its pages sit near it.
        const auto fill = [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t i = begin; i < end; ++i) buffer[i] = i;
        };
        detail::parallelFor(words, words / count, fill);
        const auto sum = [&](std::uint64_t begin, std::uint64_t end) {
            // Integer sums may be regrouped freely, so the compiler vectorises this read.
            std::uint64_t total = 0;
            for (std::uint64_t i = begin; i < end; ++i) total += buffer[i];
            bandwidth_sink.fetch_add(total, std::memory_order_relaxed);
        };
        for (int pass = 0; pass < 5; ++pass) {
            const auto start = std::chrono::steady_clock::now();
            detail::parallelFor(words, words / count, sum);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best = std::max(
                best, static_cast<double>(words * sizeof(std::uint64_t)) / std::max(seconds, 1e-9));
        }
    });
    return best;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
