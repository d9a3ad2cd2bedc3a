#pragma once

#include <cstdint>
#include <span>

namespace Nuvexis::Core::Tarvel {

// Output number `index` (from 0) of SplitMix64 seeded with `seed`: the state after index + 1
// additions of 0x9E3779B97F4A7C15, mixed. A counter, not a stream, so that the draw for a
// position does not depend on how the sequence was split into runs.
std::uint64_t splitMix64(std::uint64_t seed, std::uint64_t index);

// The top 53 bits of a draw as a double in [0, 1): (bits >> 11) * 2^-53, exact.
double unitInterval(std::uint64_t bits);

struct SamplingOptions {
    double temperature = 0.0;  // 0 is greedy
    double top_p = 1.0;        // nucleus share kept, in (0, 1]
    std::uint64_t seed = 0;
};

// Throws std::invalid_argument "temperature must be finite and not negative" or
// "top-p must be greater than zero and at most one".
void validateSampling(const SamplingOptions& options);

// Picks the next token from one row of logits. Throws what validateSampling throws, and
// std::invalid_argument "temperature is too small for these logits" when a logit divided by
// the temperature is not finite.
//
// Greedy (temperature 0): the largest logit, the lowest id among equals; no draw is used.
// Otherwise, all in double arithmetic and in this order:
//  1. s_i = logit_i / temperature; m = the largest s_i; w_i = exp(s_i - m).
//  2. Ids are ordered by w descending, equal weights by ascending id.
//  3. Z = the sum of all w_i in ascending id order.
//  4. Top-p: walking the order, c += w / Z after each id; the ids up to and including the one
//     where c >= top_p first holds are kept (all of them when it never holds).
//  5. S = the sum of the kept weights in that order; t = unitInterval(splitMix64(seed,
//     draw_index)) * S; the first kept id whose running weight sum exceeds t is the token (the
//     last kept id if none does).
std::uint32_t sampleToken(std::span<const double> logits, const SamplingOptions& options,
                          std::uint64_t draw_index);

}  // namespace Nuvexis::Core::Tarvel
