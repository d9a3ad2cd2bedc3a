#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Nuvexis::Core::Tarvel {

// Row-major logits {positions, vocabulary}, borrowed.
struct LogitsTable {
    std::uint64_t positions = 0;
    std::uint64_t vocabulary = 0;
    std::span<const double> values;
};

// How far another runtime's logits are from the exact ones, position by position and over all.
// Per position p, with log-probabilities as logSoftmax computes them:
//   kl             sum_u p_exact(u) (log p_exact(u) - log p_other(u)), summed in ascending u
//                  in a form that keeps its digits when the two are close (see compare.cpp)
//   top1           1 when both rows' largest logit is at the same id (the lower id among equals)
//   top5_overlap   ids the two rows' five largest share, divided by five (by the vocabulary when
//                  it is smaller)
//   max_abs_error  max_u |z_exact(u) - z_other(u)|
//   rms_error      sqrt(mean_u (z_exact(u) - z_other(u))^2)
struct Comparison {
    std::vector<double> kl_per_position;
    std::vector<std::uint8_t> top1_per_position;
    std::vector<double> top5_overlap_per_position;
    std::vector<double> max_abs_error_per_position;
    std::vector<double> rms_error_per_position;
    // Over all positions: the mean (sum in ascending position, divided by the count), the median
    // and the 99th percentile (linear between the two nearest ranks, as numpy's default) and
    // the largest of kl.
    double kl_mean = 0.0;
    double kl_median = 0.0;
    double kl_p99 = 0.0;
    double kl_max = 0.0;
    double top1_agreement = 0.0;  // the share of positions whose top1 is 1
    double top5_overlap = 0.0;    // mean of top5_overlap_per_position
    double max_abs_error = 0.0;   // over every logit
    // sqrt of the mean squared difference over every logit, summed position by position.
    double rms_error = 0.0;
    // exp(mean of -log p(t_j) over j = 1 .. n - 1), each from the row before it; absent without
    // tokens or with fewer than two.
    std::optional<double> perplexity_exact;
    std::optional<double> perplexity_other;
};

// Throws std::invalid_argument, in this order: "no positions to compare", "exact logits do not
// fill their shape", "other logits do not fill their shape", "other logits have <a> positions;
// the exact ones have <b>", "other logits have a vocabulary of <a>; the exact ones have <b>",
// "<a> tokens for <b> positions" (tokens are optional: empty is none), "exact logits are not
// finite at position <p>", "other logits are not finite at position <p>" and "token id <id> is
// outside the vocabulary of <n>".
Comparison compareLogits(const LogitsTable& exact, const LogitsTable& other,
                         std::span<const std::uint32_t> tokens = {});

}  // namespace Nuvexis::Core::Tarvel
