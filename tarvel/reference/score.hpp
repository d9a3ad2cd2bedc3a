#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/model/transformer_model.hpp"
#include "tarvel/reference/log_probs.hpp"

namespace Nuvexis::Core::Tarvel {

// Throws std::invalid_argument "token id <id> is outside the vocabulary of <n>" for the first id
// the model has no row for.
void requireTokenIds(const TransformerSpec& spec, std::span<const std::uint32_t> tokens);

struct ScoreOptions {
    bool double_precision = true;
    std::uint32_t threads = 0;  // as the runtime's option
    std::uint64_t top = 0;      // alternatives listed at each position
};

struct ScoreResult {
    Tensor logits;  // {positions, vocabulary}: row j is the logits after tokens 0 .. j
    // Positions 1 .. n - 1: each token's log-probability given the tokens before it, computed
    // from the row before it as logSoftmax does, with the `top` likeliest ids there.
    std::vector<TokenLogProbs> tokens;
};

// Logits of every position of one sequence, from a fresh session in one step. Throws, in this
// order, std::invalid_argument "no tokens to score", "<n> tokens exceed the model's context of
// <c>", what requireTokenIds throws, and what a step throws.
ScoreResult scoreTokens(const std::shared_ptr<const TransformerModel>& model,
                        std::span<const std::uint32_t> tokens, const ScoreOptions& options = {});

}  // namespace Nuvexis::Core::Tarvel
