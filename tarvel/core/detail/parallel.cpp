#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/export.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <map>
#include <memory>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVEL_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TARVEL_THREAD_SANITIZER 1
#endif
#if defined(TARVEL_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>

#include <vector>
#endif

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

namespace {

// The thread count the innermost runWithThreads on this thread asked for; 0 outside of one.
thread_local std::uint32_t current_threads = 0;

class ThreadsScope {
  public:
    explicit ThreadsScope(std::uint32_t threads) noexcept : saved_(current_threads) {
        current_threads = threads;
    }
    ~ThreadsScope() { current_threads = saved_; }
    ThreadsScope(const ThreadsScope&) = delete;
    ThreadsScope& operator=(const ThreadsScope&) = delete;

  private:
    std::uint32_t saved_;
};

// One arena per thread count and calling thread, made on first use: a thread always enters its
// own arena itself, so that whatever it runs there (a trace, say) runs on that thread.
tbb::task_arena& arenaFor(std::uint32_t threads) {
    thread_local std::map<std::uint32_t, std::unique_ptr<tbb::task_arena>> arenas;
    std::unique_ptr<tbb::task_arena>& arena = arenas[threads];
    if (!arena) arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads));
    return *arena;
}

std::uint32_t availableThreads() {
    if (current_threads != 0) return current_threads;
    const int concurrency = tbb::this_task_arena::max_concurrency();
    return concurrency > 0 ? static_cast<std::uint32_t>(concurrency) : 1;
}

// oneTBB runs each piece after parallel_for was called and returns once every piece has ended
// (also when one threw), but a oneTBB built without ThreadSanitizer does that out of the
// sanitizer's sight. Under ThreadSanitizer these marks state exactly those two orderings, no
// more: the caller publishes at one address that every piece reads, each piece publishes its
// end at an address of its own that only the caller reads, so no piece is ordered after another.
class PieceOrder {
  public:
#if defined(TARVEL_THREAD_SANITIZER)
    explicit PieceOrder(std::uint64_t pieces) : ends_(static_cast<std::size_t>(pieces)) {
        __tsan_release(&start_);
    }
    ~PieceOrder() {
        for (char& end : ends_) __tsan_acquire(&end);
    }
    void begin() {
        __tsan_acquire(&start_);
    }
    void end(std::uint64_t piece) {
        __tsan_release(&ends_[static_cast<std::size_t>(piece)]);
    }

  private:
    char start_ = 0;
    std::vector<char> ends_;
#else
    explicit PieceOrder(std::uint64_t) noexcept {}
    void begin() noexcept {}
    void end(std::uint64_t) noexcept {}
#endif
  public:
    PieceOrder(const PieceOrder&) = delete;
    PieceOrder& operator=(const PieceOrder&) = delete;
};

// Marks a piece's end when it returns or throws.
class PieceEnd {
  public:
    PieceEnd(PieceOrder& order, std::uint64_t piece) noexcept : order_(order), piece_(piece) {}
    ~PieceEnd() { order_.end(piece_); }
    PieceEnd(const PieceEnd&) = delete;
    PieceEnd& operator=(const PieceEnd&) = delete;

  private:
    PieceOrder& order_;
    std::uint64_t piece_;
};

}  // namespace

void runWithThreadsOf(std::uint32_t threads, Task task, void* context) {
    const std::uint32_t count = effectiveThreads(threads);
    if (count == 1) {
        const ThreadsScope scope(1);
        task(context);
        return;
    }
    // Work is split into `count` pieces whatever the machine, but the arena holds no more
    // threads than the hardware runs at once: more would only wait (and oneTBB warns about
    // them on the standard error stream, which a library must not write to).
    const std::uint32_t hardware = effectiveThreads(0);
    arenaFor(count < hardware ? count : hardware).execute([&] {
        const ThreadsScope scope(count);
        task(context);
    });
}

void parallelPieces(std::uint64_t count, std::uint64_t min_piece, PieceTask task,
                    const void* context) {
    if (count == 0) return;
    const std::uint64_t by_size = count / std::max<std::uint64_t>(min_piece, 1);
    const std::uint64_t pieces =
        std::clamp<std::uint64_t>(by_size, 1, std::uint64_t{availableThreads()});
    if (pieces == 1) {
        task(context, 0, count);
        return;
    }
    // Pieces differ in size by at most one; the first `extra` of them are the longer ones.
    const std::uint64_t base = count / pieces;
    const std::uint64_t extra = count % pieces;
    const auto start = [&](std::uint64_t p) { return p * base + std::min(p, extra); };
    PieceOrder order(pieces);
    tbb::parallel_for(
        tbb::blocked_range<std::uint64_t>(0, pieces, 1),
        [&](const tbb::blocked_range<std::uint64_t>& range) {
            for (std::uint64_t p = range.begin(); p != range.end(); ++p) {
                order.begin();
                const PieceEnd end(order, p);
                task(context, start(p), start(p + 1));
            }
        },
        tbb::simple_partitioner());
}

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
