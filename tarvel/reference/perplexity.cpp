#include "tarvel/reference/perplexity.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "tarvel/core/threads.hpp"
#include "tarvel/kv/cached_step.hpp"
#include "tarvel/reference/log_probs.hpp"
#include "tarvel/reference/score.hpp"

namespace Nuvexis::Core::Tarvel {

std::vector<PerplexityWindow> perplexityWindows(std::uint64_t tokens, std::uint64_t context,
                                                std::uint64_t stride) {
    if (context < 2) throw std::invalid_argument("perplexity context must be at least 2");
    if (stride < 1 || stride > context)
        throw std::invalid_argument("perplexity stride must be from 1 to the context");
    if (tokens < 2) throw std::invalid_argument("perplexity needs at least 2 tokens");
    std::vector<PerplexityWindow> windows;
    std::uint64_t scored_end = 1;  // position 0 has nothing before it
    for (std::uint64_t begin = 0;; begin += stride) {
        const std::uint64_t end = tokens - begin <= context ? tokens : begin + context;
        PerplexityWindow window;
        window.begin = begin;
        window.end = end;
        window.first_scored = std::max(begin + 1, scored_end);
        windows.push_back(window);
        scored_end = end;
        if (end == tokens) break;
    }
    return windows;
}

namespace {

constexpr std::uint64_t scored_rows_per_step = 64;

// -log p(token) for each row of a {rows, vocabulary} block of logits, as tokenLogProb computes
// it; each row by one thread, so the values do not depend on the thread count.
void negativeLogLikelihoods(std::span<const double> logits, std::uint64_t vocabulary,
                            std::span<const std::uint32_t> tokens, std::span<double> out,
                            tbb::task_arena& arena) {
    const std::size_t v = static_cast<std::size_t>(vocabulary);
    const auto row = [&](std::size_t r) {
        out[r] = -tokenLogProb(logits.subspan(r * v, v), tokens[r]);
    };
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, tokens.size()),
                          [&](const tbb::blocked_range<std::size_t>& range) {
                              for (std::size_t r = range.begin(); r != range.end(); ++r) row(r);
                          });
    });
}

}  // namespace

PerplexityResult perplexity(const std::shared_ptr<const TransformerModel>& model,
                            std::span<const std::uint32_t> tokens,
                            const PerplexityOptions& options) {
    if (!model) throw std::invalid_argument("session requires a model");
    const TransformerSpec& spec = model->spec();
    const std::uint64_t context = options.context == 0 ? spec.context : options.context;
    const std::uint64_t stride = options.stride == 0 ? context : options.stride;
    std::vector<PerplexityWindow> windows = perplexityWindows(tokens.size(), context, stride);
    if (context > spec.context)
        throw std::invalid_argument("perplexity context exceeds the model's context");
    requireTokenIds(spec, tokens);
    std::uint64_t total = 0;
    for (const PerplexityWindow& w : windows) total += w.end - w.first_scored;

    TransformerKvOptions kv;
    kv.double_precision = options.double_precision;
    kv.max_cache_bytes = std::numeric_limits<std::uint64_t>::max();
    kv.threads = options.threads;
    // Kept across windows: the session's position and cache are reset, the arena and the buffer
    // of per-position values reused.
    TransformerKvSession session(model, 1);
    tbb::task_arena arena(static_cast<int>(effectiveThreads(options.threads)));
    std::vector<double> nll;
    double sum = 0.0;
    std::uint64_t done = 0;
    const auto chunk = [&](std::uint64_t from, std::uint64_t to) {
        return TokenBatch{1,
                          to - from,
                          {tokens.begin() + static_cast<std::ptrdiff_t>(from),
                           tokens.begin() + static_cast<std::ptrdiff_t>(to)},
                          {}};
    };
    for (PerplexityWindow& w : windows) {
        session.reset(1);
        // Position j is scored from the logits of position j - 1, so the window's last token is
        // never fed, and the positions before the first scored one's predecessor need no logits.
        const std::uint64_t first_row = w.first_scored - 1;
        if (first_row > w.begin) {
            kv.logits = TransformerKvLogits::last_position;
            (void)forwardCached(chunk(w.begin, first_row), session, kv);
        }
        kv.logits = TransformerKvLogits::every_position;
        const std::uint64_t rows = w.end - w.first_scored;
        nll.resize(static_cast<std::size_t>(rows));
        // The scored rows in steps of at most scored_rows_per_step: each step's logits then stay
        // small enough for the allocator to reuse their memory, where a window's whole block
        // would be mapped and unmapped, page by page, every time.
        for (std::uint64_t from = 0; from < rows; from += scored_rows_per_step) {
            const std::uint64_t count = std::min(scored_rows_per_step, rows - from);
            const TransformerKvStep step =
                forwardCached(chunk(first_row + from, first_row + from + count), session, kv);
            negativeLogLikelihoods(step.logits.data, spec.vocabulary,
                                   tokens.subspan(static_cast<std::size_t>(w.first_scored + from),
                                                  static_cast<std::size_t>(count)),
                                   std::span<double>(nll).subspan(static_cast<std::size_t>(from),
                                                                  static_cast<std::size_t>(count)),
                                   arena);
        }
        double window_sum = 0.0;
        for (const double x : nll) {
            window_sum += x;
            sum += x;
        }
        w.negative_log_likelihood = window_sum;
        done += rows;
        if (options.progress) options.progress(done, total);
    }
    PerplexityResult result;
    result.tokens_scored = total;
    result.negative_log_likelihood = sum / static_cast<double>(total);
    result.perplexity = std::exp(result.negative_log_likelihood);
    result.windows = std::move(windows);
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
