#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace Nuvexis::Core::Tarvel {

// Log-probabilities of one row of logits z over the vocabulary, all in double:
//   m = max_v z_v,  s = sum_v exp(z_v - m) (ascending v, from 0.0),  log p_u = (z_u - m) - log(s).
// Subtracting the maximum keeps exp from overflowing; every id's value is finite for finite
// logits. Throws std::invalid_argument "logits row is empty" and "logits are not finite".
std::vector<double> logSoftmax(std::span<const double> logits);

// The one value logSoftmax gives for `token`, computed the same way without the others.
// Throws as logSoftmax does, and std::out_of_range "token id is outside the logits row".
double tokenLogProb(std::span<const double> logits, std::uint32_t token);

struct TokenLogProb {
    std::uint32_t token = 0;
    double logprob = 0.0;
};

// The `count` largest values of a row (all of them when it holds fewer), largest first, the
// lower id first among equals.
std::vector<TokenLogProb> topLogProbs(std::span<const double> logprobs, std::uint64_t count);

// A token of a sequence with its log-probability given the tokens before it, and the likeliest
// alternatives at that position.
struct TokenLogProbs {
    std::uint64_t position = 0;
    std::uint32_t token = 0;
    double logprob = 0.0;
    std::vector<TokenLogProb> top;
};

// The record for `token` from the logits row that predicts it.
TokenLogProbs tokenLogProbs(std::span<const double> logits, std::uint64_t position,
                            std::uint32_t token, std::uint64_t top);

}  // namespace Nuvexis::Core::Tarvel
