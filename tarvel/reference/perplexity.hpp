#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "tarvel/kv/session.hpp"
#include "tarvel/model/transformer_model.hpp"

namespace Nuvexis::Core::Tarvel {

// One window of the sliding-window method: tokens [begin, end) are fed from a fresh session,
// and positions [first_scored, end) are scored, each from the logits of the position before it.
struct PerplexityWindow {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::uint64_t first_scored = 0;
    // Sum of -log p(t_j | t_begin .. t_(j-1)) over the scored positions, in ascending j.
    double negative_log_likelihood = 0.0;
};

// The windows over `tokens` tokens: [b, min(b + context, tokens)) for b = 0, stride, 2 stride,
// ... until a window reaches the end; each scores the positions j >= b + 1 no earlier window
// scored. Throws std::invalid_argument, in this order, "perplexity context must be at least 2",
// "perplexity stride must be from 1 to the context" and "perplexity needs at least 2 tokens".
std::vector<PerplexityWindow> perplexityWindows(std::uint64_t tokens, std::uint64_t context,
                                                std::uint64_t stride);

struct PerplexityOptions {
    std::uint64_t context = 0;  // window length; 0: the model's context
    std::uint64_t stride = 0;   // 0: the window length (windows that do not overlap)
    // Precision and threads of every step; the cache limit is the model's whole context.
    bool double_precision = true;
    std::uint32_t threads = 0;
    // Called after each window with the positions scored so far and in all.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct PerplexityResult {
    double perplexity = 0.0;  // exp(negative_log_likelihood)
    // The mean over every scored position: the windows' sums, added position by position in
    // ascending order, divided by tokens_scored.
    double negative_log_likelihood = 0.0;
    std::uint64_t tokens_scored = 0;
    std::vector<PerplexityWindow> windows;
};

// Exact perplexity of a token sequence under the model. Each window runs on one session that is
// reset between windows; only the positions whose logits are scored get the vocabulary-wide
// projection. Throws what perplexityWindows throws, std::invalid_argument "perplexity context
// exceeds the model's context" and "token id <id> is outside the vocabulary of <n>" before any
// computation, and what a step throws.
PerplexityResult perplexity(const std::shared_ptr<const TransformerModel>& model,
                            std::span<const std::uint32_t> tokens,
                            const PerplexityOptions& options = {});

}  // namespace Nuvexis::Core::Tarvel
