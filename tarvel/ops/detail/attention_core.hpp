#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace Nuvexis::Core::Tarvel::detail {

// One query row of one head against positions 0 .. visible - 1 of its KV head: the attention
// both the full pass and the cached step run, so that they agree by construction.
//   query(c), key(j, c), value(j, c)   the operands, read through the validating accessors
//   restate()                          called before each pass over the keys or values, so that
//                                      a caller can restate its shapes where the compiler sees
//                                      them (a call to exp may write memory, as far as it knows)
//   probability(j, p)                  each checked probability, in ascending j
//   store(c, x)                        each finished output value, in ascending c
// scores and exps hold `visible` values, sums `head_dim`; the caller allocates them once.
// Every sum starts at 0.0 and runs in ascending index order; every finished value passes Check.
//   split                              positions below it are read through key and value,
//                                      the rest through key_tail and value_tail (all with the
//                                      absolute position): a caller whose positions live in two
//                                      places reads each without a test per element
template <double (*Check)(double, bool), typename Query, typename Key, typename Value,
          typename KeyTail, typename ValueTail, typename Restate, typename Probability,
          typename Store>
inline void attendRowSplit(std::uint64_t visible, std::uint64_t split, std::uint64_t head_dim,
                           bool double_precision, Query&& query, Key&& key, Value&& value,
                           KeyTail&& key_tail, ValueTail&& value_tail, Restate&& restate,
                           Probability&& probability, Store&& store, double* scores, double* exps,
                           double* sums) {
    const double scale = 1.0 / std::sqrt(static_cast<double>(head_dim));
    restate();
    // Scores of four positions side by side: each still its own sum over the head's columns.
    // Column 0 goes first on its own, so that the position checks of later columns repeat
    // checks made there.
    // Which positions a span groups changes no score: each is its own sum.
    const auto scoreSpan = [&](auto span, auto&& read, std::uint64_t j) {
        constexpr std::uint64_t Span = decltype(span)::value;
        double acc[Span] = {};
        if (head_dim != 0) {
            const double q0 = query(0);
            for (std::uint64_t u = 0; u < Span; ++u) acc[u] = acc[u] + q0 * read(j + u, 0);
        }
        for (std::uint64_t c = 1; c < head_dim; ++c) {
            const double qc = query(c);
            for (std::uint64_t u = 0; u < Span; ++u) acc[u] = acc[u] + qc * read(j + u, c);
        }
        for (std::uint64_t u = 0; u < Span; ++u) {
            scores[j + u] = Check(acc[u] * scale, double_precision);
        }
    };
    const std::uint64_t head = split < visible ? split : visible;
    const std::integral_constant<std::uint64_t, 4> four;
    const std::integral_constant<std::uint64_t, 1> one;
    std::uint64_t j = 0;
    for (; j + 4 <= head; j += 4) scoreSpan(four, key, j);
    for (; j < head; ++j) scoreSpan(one, key, j);
    for (; j + 4 <= visible; j += 4) scoreSpan(four, key_tail, j);
    for (; j < visible; ++j) scoreSpan(one, key_tail, j);

    // The softmax reads the scores as stored, rounded in reduced precision.
    double max = -std::numeric_limits<double>::infinity();
    for (j = 0; j < visible; ++j) {
        if (scores[j] > max) max = scores[j];
    }
    // exp is a function of its argument alone, so each is computed once and reused.
    double z = 0.0;
    for (j = 0; j < visible; ++j) {
        exps[j] = std::exp(scores[j] - max);
        z = z + exps[j];
    }
    for (std::uint64_t c = 0; c < head_dim; ++c) sums[c] = 0.0;
    restate();
    // Partial sums stay unchecked; the finished row is checked below.
    for (j = 0; j < head; ++j) {
        const double p = Check(exps[j] / z, double_precision);
        probability(j, p);
        for (std::uint64_t c = 0; c < head_dim; ++c) sums[c] = sums[c] + value(j, c) * p;
    }
    for (; j < visible; ++j) {
        const double p = Check(exps[j] / z, double_precision);
        probability(j, p);
        for (std::uint64_t c = 0; c < head_dim; ++c) sums[c] = sums[c] + value_tail(j, c) * p;
    }
    for (std::uint64_t c = 0; c < head_dim; ++c) store(c, Check(sums[c], double_precision));
}

// The same over positions that all live in one place.
template <double (*Check)(double, bool), typename Query, typename Key, typename Value,
          typename Restate, typename Probability, typename Store>
inline void attendRow(std::uint64_t visible, std::uint64_t head_dim, bool double_precision,
                      Query&& query, Key&& key, Value&& value, Restate&& restate,
                      Probability&& probability, Store&& store, double* scores, double* exps,
                      double* sums) {
    attendRowSplit<Check>(visible, visible, head_dim, double_precision, query, key, value, key,
                          value, restate, probability, store, scores, exps, sums);
}

}  // namespace Nuvexis::Core::Tarvel::detail
