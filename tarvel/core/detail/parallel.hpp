#pragma once

#include <cstdint>
#include <type_traits>

#include "tarvel/core/threads.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Work is split over oneTBB worker threads by output element: a piece of work owns its outputs
// and sums each of them alone in its fixed order, so no result depends on how many threads ran
// or which thread ran which piece.

using Task = void (*)(void* context);

// Runs task(context) on the calling thread with `threads` threads (effectiveThreads) available to
// the parallelFor calls it makes, and returns when everything it started has finished; the first
// exception thrown in any of them is rethrown here.
void runWithThreadsOf(std::uint32_t threads, Task task, void* context);

template <typename Fn>
void runWithThreads(std::uint32_t threads, Fn&& fn) {
    runWithThreadsOf(
        threads, [](void* context) { (*static_cast<std::remove_reference_t<Fn>*>(context))(); },
        static_cast<void*>(&fn));
}

using PieceTask = void (*)(const void* context, std::uint64_t begin, std::uint64_t end);

// Splits [0, count) into contiguous pieces of at least `min_piece` (at most one per available
// thread) and runs task(context, begin, end) once for each, returning when all have finished. A
// single piece runs on the calling thread. The first exception thrown by a piece is rethrown
// here once every piece has stopped.
void parallelPieces(std::uint64_t count, std::uint64_t min_piece, PieceTask task,
                    const void* context);

template <typename Body>
void parallelFor(std::uint64_t count, std::uint64_t min_piece, const Body& body) {
    parallelPieces(
        count, min_piece,
        [](const void* context, std::uint64_t begin, std::uint64_t end) {
            (*static_cast<const Body*>(context))(begin, end);
        },
        static_cast<const void*>(&body));
}

}  // namespace Nuvexis::Core::Tarvel::detail
