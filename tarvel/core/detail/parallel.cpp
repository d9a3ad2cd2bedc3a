#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/export.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <map>
#include <memory>

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

}  // namespace

void runWithThreadsOf(std::uint32_t threads, Task task, void* context) {
    const std::uint32_t count = effectiveThreads(threads);
    if (count == 1) {
        const ThreadsScope scope(1);
        task(context);
        return;
    }
    arenaFor(count).execute([&] {
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
    tbb::parallel_for(
        tbb::blocked_range<std::uint64_t>(0, pieces, 1),
        [&](const tbb::blocked_range<std::uint64_t>& range) {
            for (std::uint64_t p = range.begin(); p != range.end(); ++p) {
                task(context, start(p), start(p + 1));
            }
        },
        tbb::simple_partitioner());
}

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
