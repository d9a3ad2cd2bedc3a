#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

// On the function that runs attendRow for many rows: everything it calls is inlined into it,
// whatever else its file instantiates, so that the loops keep their values in registers.
#if defined(__GNUC__)
#define TARVEL_ATTENTION_ROWS __attribute__((flatten))
#else
#define TARVEL_ATTENTION_ROWS
#endif

namespace Nuvexis::Core::Tarvel::detail {

// How a row's scores are formed: each dot product times `scale`, checked; with a cap other than
// 0, then cap * tanh(score / cap), checked again.
struct RowScoring {
    double scale = 1.0;
    double cap = 0.0;
};

// Scores are scaled by 1 / sqrt(scalar), or by 1 / sqrt(head_dim) when the scalar is 0.
inline double scoreScale(double scalar, std::uint64_t head_dim) {
    return 1.0 / std::sqrt(scalar != 0.0 ? scalar : static_cast<double>(head_dim));
}

// The first position a query at `visible` - 1 sees: with a window of w positions (0: none) the
// keys j with visible - 1 - w < j, the current one included.
inline std::uint64_t firstVisible(std::uint64_t visible, std::uint64_t window) noexcept {
    return window != 0 && visible > window ? visible - window : 0;
}

// One query row of one head against positions first .. visible - 1 of its KV head: the
// attention both the full pass and the cached step run, so that they agree by construction.
//   query                              the head's head_dim query values
//   key_row(j), value_row(j)           the head_dim values of position j; the caller has
//                                      checked its shapes once, so each row lies in storage
//   probability(j, p)                  each checked probability, in ascending j
//   store(c, x)                        each finished output value, in ascending c
// scores and exps hold `visible` values, indexed by position; the caller allocates them once.
// Every sum starts at 0.0 and runs in ascending index order; every finished value passes Check.
// The cap is applied in a pass of its own over the row's scores, so that rows without one run
// the loops they always ran. Windowed is decided once per call: without it `window_first` is not
// read and every row starts at position 0, as the loops are fastest when that is known.
template <double (*Check)(double, bool), bool Windowed, typename KeyRow, typename ValueRow,
          typename Probability, typename Store>
inline void attendRow(std::uint64_t window_first, std::uint64_t visible, std::uint64_t head_dim,
                      RowScoring scoring, bool double_precision, const double* query,
                      KeyRow&& key_row, ValueRow&& value_row, Probability&& probability,
                      Store&& store, double* scores, double* exps) {
    const std::uint64_t first = Windowed ? window_first : 0;
    const double scale = scoring.scale;
    // Scores of eight positions side by side: each still its own sum over the head's columns,
    // so which positions a span groups changes no score.
    const auto scoreSpan = [&](auto span, std::uint64_t j) {
        constexpr std::uint64_t Span = decltype(span)::value;
        const double* rows[Span];
        for (std::uint64_t u = 0; u < Span; ++u) rows[u] = key_row(j + u);
        double acc[Span] = {};
        for (std::uint64_t c = 0; c < head_dim; ++c) {
            const double qc = query[c];
            for (std::uint64_t u = 0; u < Span; ++u) acc[u] = acc[u] + qc * rows[u][c];
        }
        for (std::uint64_t u = 0; u < Span; ++u) {
            scores[j + u] = Check(acc[u] * scale, double_precision);
        }
    };
    const std::integral_constant<std::uint64_t, 8> eight;
    const std::integral_constant<std::uint64_t, 1> one;
    std::uint64_t j = first;
    for (; j + 8 <= visible; j += 8) scoreSpan(eight, j);
    for (; j < visible; ++j) scoreSpan(one, j);
    if (scoring.cap != 0.0) {
        const double cap = scoring.cap;
        for (j = first; j < visible; ++j) {
            scores[j] = Check(cap * std::tanh(scores[j] / cap), double_precision);
        }
    }

    // The softmax reads the scores as stored, rounded in reduced precision.
    double max = -std::numeric_limits<double>::infinity();
    for (j = first; j < visible; ++j) {
        if (scores[j] > max) max = scores[j];
    }
    // exp is a function of its argument alone, so each is computed once and reused.
    double z = 0.0;
    for (j = first; j < visible; ++j) {
        exps[j] = std::exp(scores[j] - max);
        z = z + exps[j];
    }
    // The probabilities replace the exponentials they come from.
    for (j = first; j < visible; ++j) {
        exps[j] = Check(exps[j] / z, double_precision);
        probability(j, exps[j]);
    }
    // Each output column is its own sum over the positions, in ascending order: eight columns
    // at a time run over every position with their partial sums held in registers, unchecked
    // until each finished one is checked and stored.
    const auto valueSpan = [&](auto span, std::uint64_t c0) {
        constexpr std::uint64_t Span = decltype(span)::value;
        double acc[Span] = {};
        for (std::uint64_t i = first; i < visible; ++i) {
            const double* row = value_row(i) + c0;
            const double p = exps[i];
            for (std::uint64_t u = 0; u < Span; ++u) acc[u] = acc[u] + row[u] * p;
        }
        for (std::uint64_t u = 0; u < Span; ++u) store(c0 + u, Check(acc[u], double_precision));
    };
    std::uint64_t c = 0;
    for (; c + 8 <= head_dim; c += 8) valueSpan(eight, c);
    for (; c < head_dim; ++c) valueSpan(one, c);
}

}  // namespace Nuvexis::Core::Tarvel::detail
