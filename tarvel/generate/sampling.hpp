#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
    std::uint64_t top_k = 0;          // the k likeliest ids kept; 0 keeps all
    double min_p = 0.0;               // ids kept whose weight is at least min_p times the largest
    double repetition_penalty = 1.0;  // applied to the logits of ids already in the sequence
};

// Throws std::invalid_argument "temperature must be finite and not negative",
// "top-p must be greater than zero and at most one", "min-p must be at least zero and at most
// one" or "repetition penalty must be finite and greater than zero", in that order.
void validateSampling(const SamplingOptions& options);

// Picks the next token from one row of logits; history holds the ids of the sequence so far
// (for the repetition penalty only). Throws what validateSampling throws, and
// std::invalid_argument "temperature is too small for these logits" when a logit divided by
// the temperature is not finite.
//
// First, with a repetition penalty r other than 1, the logit l of every id that occurs in the
// history (once, however often it occurs) becomes l * r when l < 0 and l / r otherwise.
// Greedy (temperature 0): the largest logit, the lowest id among equals; no draw is used.
// Otherwise, all in double arithmetic and in this order:
//  1. s_i = logit_i / temperature; m = the largest s_i; w_i = exp(s_i - m).
//  2. Ids are ordered by w descending, equal weights by ascending id.
//  3. Top-k: with k > 0, the first k ids of the order are kept. Min-p: of those, the ids whose
//     w is at least min_p times the first id's w are kept (always a prefix of the order).
//  4. Z = the sum of the kept ids' w_i in ascending id order.
//  5. Top-p: walking the order, c += w / Z after each id; the ids up to and including the one
//     where c >= top_p first holds are kept (all of them when it never holds).
//  6. S = the sum of the kept weights in that order; t = unitInterval(splitMix64(seed,
//     draw_index)) * S; the first kept id whose running weight sum exceeds t is the token (the
//     last kept id if none does).
// With the defaults (no penalty, top-k 0, min-p 0) steps 3 keeps every id.
std::uint32_t sampleToken(std::span<const double> logits, const SamplingOptions& options,
                          std::uint64_t draw_index, std::span<const std::uint32_t> history = {});

// Generated text with stop strings: text that could still become one of them is held back,
// and once one appears, the text before it is the last shown and the rest never is.
class StopText {
  public:
    // Throws std::invalid_argument "stop text is empty" for an empty string.
    explicit StopText(std::vector<std::string> stops);
    // The text that can be shown now.
    std::string push(std::string_view text);
    // Whatever is still held back, when generation ends without a stop string.
    std::string finish();
    bool stopped() const noexcept { return stopped_; }

  private:
    std::vector<std::string> stops_;
    std::string pending_;
    bool stopped_ = false;
};

}  // namespace Nuvexis::Core::Tarvel
