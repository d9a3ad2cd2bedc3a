#include "tarvel/core/threads.hpp"

#include <oneapi/tbb/info.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "tarvel/core/detail/parallel.hpp"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define TARVEL_PEAK_VECTORS 1
#include <immintrin.h>
#endif

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

// Where the passes' sums go: the compiler must assume they are read, so no pass is dropped.
std::atomic<std::uint64_t> bandwidth_sink{0};
std::atomic<double> flops_sink{0.0};

// Twelve chains x = x * m + c, each multiply waiting on the last add of its own chain: enough
// chains side by side to cover both units' latency. x tends to c / (1 - m), so no value leaves
// the normal range. Returns the lanes each chain has.
constexpr int peak_chains = 12;
constexpr double peak_m = 0.999999;
constexpr double peak_c = 1e-6;

std::uint64_t chainsPortable(std::uint64_t iterations) {
    double x[peak_chains];
    for (int k = 0; k < peak_chains; ++k) x[k] = 1.0 + k;
    for (std::uint64_t i = 0; i < iterations; ++i) {
        for (double& v : x) v = v * peak_m + peak_c;
    }
    double total = 0.0;
    for (const double v : x) total += v;
    flops_sink.store(total, std::memory_order_relaxed);
    return 1;
}

#if defined(TARVEL_PEAK_VECTORS)
__attribute__((target("avx512f"))) std::uint64_t chainsAvx512(std::uint64_t iterations) {
    const __m512d m = _mm512_set1_pd(peak_m);
    const __m512d c = _mm512_set1_pd(peak_c);
    __m512d x[peak_chains];
    for (int k = 0; k < peak_chains; ++k) x[k] = _mm512_set1_pd(1.0 + k);
    for (std::uint64_t i = 0; i < iterations; ++i) {
        for (__m512d& v : x) v = _mm512_add_pd(_mm512_mul_pd(v, m), c);
    }
    __m512d total = x[0];
    for (int k = 1; k < peak_chains; ++k) total = _mm512_add_pd(total, x[k]);
    double lanes[8];
    _mm512_storeu_pd(lanes, total);
    flops_sink.store(lanes[0], std::memory_order_relaxed);
    return 8;
}

__attribute__((target("avx"))) std::uint64_t chainsAvx(std::uint64_t iterations) {
    const __m256d m = _mm256_set1_pd(peak_m);
    const __m256d c = _mm256_set1_pd(peak_c);
    __m256d x[peak_chains];
    for (int k = 0; k < peak_chains; ++k) x[k] = _mm256_set1_pd(1.0 + k);
    for (std::uint64_t i = 0; i < iterations; ++i) {
        for (__m256d& v : x) v = _mm256_add_pd(_mm256_mul_pd(v, m), c);
    }
    __m256d total = x[0];
    for (int k = 1; k < peak_chains; ++k) total = _mm256_add_pd(total, x[k]);
    double lanes[4];
    _mm256_storeu_pd(lanes, total);
    flops_sink.store(lanes[0], std::memory_order_relaxed);
    return 4;
}
#endif

using ChainsFunction = std::uint64_t (*)(std::uint64_t);

ChainsFunction widestChains() noexcept {
#if defined(TARVEL_PEAK_VECTORS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return chainsAvx512;
    if (__builtin_cpu_supports("avx")) return chainsAvx;
#endif
    return chainsPortable;
}

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

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

double measurePeakFlops(std::uint32_t threads) {
    const std::uint32_t count = effectiveThreads(threads);
    const ChainsFunction run = widestChains();
    // Several pieces per thread, so that one thread idling while another runs two shows less.
    constexpr std::uint64_t iterations = 1000000;
    const std::uint64_t pieces = 4 * std::uint64_t{count};
    double best = 0.0;
    detail::runWithThreads(count, [&] {
        std::atomic<std::uint64_t> operations{0};
        const auto work = [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t t = begin; t < end; ++t) {
                const std::uint64_t lanes = run(iterations);
                operations.fetch_add(2 * lanes * peak_chains * iterations,
                                     std::memory_order_relaxed);
            }
        };
        for (int pass = 0; pass < 3; ++pass) {
            operations.store(0, std::memory_order_relaxed);
            const auto start = std::chrono::steady_clock::now();
            detail::parallelFor(pieces, 1, work);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best = std::max(best, static_cast<double>(operations.load()) / std::max(seconds, 1e-9));
        }
    });
    return best;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
