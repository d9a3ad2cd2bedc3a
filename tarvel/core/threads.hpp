#pragma once

#include <cstdint>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// The most threads a `threads` option gets; asking for more is asking for this many.
inline constexpr std::uint32_t max_threads = 256;

// The thread count a `threads` option means: 0 is one per hardware thread (as many as the
// process may run at once), anything above max_threads is max_threads. Results never depend on
// it.
std::uint32_t effectiveThreads(std::uint32_t requested) noexcept;

// The rate at which `threads` threads (0: one per hardware thread, as the runtime's own option)
// read memory, in bytes per second: the best of five passes over a buffer of `buffer_bytes`,
// each thread summing its own contiguous part. Over a buffer far beyond the caches (the default,
// 512 MiB) this is what bounds a decode step, which reads every weight once: weight bytes
// divided into it give the fastest decode the machine allows.
double measureReadBandwidth(std::uint32_t threads, std::uint64_t buffer_bytes = 536870912);

// The rate at which `threads` threads (0: one per hardware thread) run double-precision
// multiplies and adds, in operations per second (a multiply and an add are two): the best of
// three passes of independent multiply-then-add chains in the widest vector registers the
// processor has, never fused, as the runtime's own kernels run them. Prefill is bound by it as
// decode is by the read bandwidth.
double measurePeakFlops(std::uint32_t threads);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
