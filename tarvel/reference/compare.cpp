#include "tarvel/reference/compare.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "tarvel/reference/log_probs.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

std::vector<std::uint32_t> topIds(std::span<const double> row, std::size_t k) {
    std::vector<std::uint32_t> top;
    for (const TokenLogProb& entry : topLogProbs(row, k)) top.push_back(entry.token);
    return top;
}

void requireFilled(const LogitsTable& table, const char* refusal) {
    if (table.vocabulary == 0 || table.positions > table.values.size() / table.vocabulary ||
        table.positions * table.vocabulary != table.values.size()) {
        throw std::invalid_argument(refusal);
    }
}

void requireFinite(const LogitsTable& table, const char* which) {
    for (std::size_t i = 0; i < table.values.size(); ++i) {
        if (!std::isfinite(table.values[i])) {
            throw std::invalid_argument(std::string(which) + " logits are not finite at position " +
                                        std::to_string(i / table.vocabulary));
        }
    }
}

// numpy's linear interpolation between the two nearest ranks of sorted values.
double percentile(const std::vector<double>& sorted, double q) {
    const double index = q * static_cast<double>(sorted.size() - 1);
    const double below = std::floor(index);
    const std::size_t lo = static_cast<std::size_t>(below);
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    const double t = index - below;
    const double a = sorted[lo];
    const double b = sorted[hi];
    const double diff = b - a;
    return t >= 0.5 ? b - diff * (1.0 - t) : a + diff * t;
}

// x + expm1(-x) = x^2/2 - x^3/6 + ..., without the cancellation of the direct form near 0:
// by its series (through x^10, relative error below 1e-16) for |x| < 0.1.
double excessOfExp(double x) {
    // 1/k! for k = 2 .. 10.
    static constexpr double inverse_factorial[] = {1.0 / 2,     1.0 / 6,      1.0 / 24,
                                                   1.0 / 120,   1.0 / 720,    1.0 / 5040,
                                                   1.0 / 40320, 1.0 / 362880, 1.0 / 3628800};
    if (std::fabs(x) >= 0.1) return x + std::expm1(-x);
    double term = inverse_factorial[8];
    for (int k = 7; k >= 0; --k) term = inverse_factorial[k] - x * term;
    return x * x * term;
}

// log1p(a) - a = -a^2/2 + a^3/3 - ..., by its series for |a| < 1e-3.
double excessOfLog(double a) {
    if (std::fabs(a) >= 1e-3) return std::log1p(a) - a;
    return a * a * (-0.5 + a * (1.0 / 3.0 + a * (-0.25 + a * 0.2)));
}

// KL(exact || other) of one position. Written out as sum_u p(u) (log p(u) - log q(u)), a close
// pair of runtimes loses every digit of a divergence near 1e-14 to the rounding of the
// log-probabilities (about 1e-16 each). With d_u = z_exact(u) - z_other(u), centred on its
// mean under p (softmax ignores a shift of all logits), d'_u = d_u - sum_v p(v) d_v, the same
// quantity is
//   sum_u p(u) g(d'_u) + h(sum_u p(u) expm1(-d'_u)),  g(x) = x + expm1(-x), h(a) = log1p(a) - a,
// a sum of terms that are never negative plus a term of second order, each computed without
// cancellation; p is normalised by its computed sum. It is used when every |d'_u| is at most 1;
// past that the written-out form is as accurate and expm1 cannot overflow.
double klDivergence(std::span<const double> e, std::span<const double> o,
                    const std::vector<double>& le, const std::vector<double>& lo) {
    const std::size_t v = e.size();
    std::vector<double> p(v);
    double total = 0.0;
    double shift = 0.0;
    for (std::size_t u = 0; u < v; ++u) {
        p[u] = std::exp(le[u]);
        total += p[u];
        shift += p[u] * (e[u] - o[u]);
    }
    shift /= total;
    bool close = true;
    for (std::size_t u = 0; u < v && close; ++u) close = std::fabs(e[u] - o[u] - shift) <= 1.0;
    if (close) {
        double excess = 0.0;
        double a = 0.0;
        for (std::size_t u = 0; u < v; ++u) {
            const double d = (e[u] - o[u]) - shift;
            excess += p[u] * excessOfExp(d);
            a += p[u] * std::expm1(-d);
        }
        return excess / total + excessOfLog(a / total);
    }
    double kl = 0.0;
    for (std::size_t u = 0; u < v; ++u) kl += p[u] * (le[u] - lo[u]);
    return kl;
}

double meanOf(const std::vector<double>& values) {
    double sum = 0.0;
    for (const double x : values) sum += x;
    return sum / static_cast<double>(values.size());
}

}  // namespace

Comparison compareLogits(const LogitsTable& exact, const LogitsTable& other,
                         std::span<const std::uint32_t> tokens) {
    if (exact.positions == 0) throw std::invalid_argument("no positions to compare");
    requireFilled(exact, "exact logits do not fill their shape");
    requireFilled(other, "other logits do not fill their shape");
    if (other.positions != exact.positions) {
        throw std::invalid_argument("other logits have " + std::to_string(other.positions) +
                                    " positions; the exact ones have " +
                                    std::to_string(exact.positions));
    }
    if (other.vocabulary != exact.vocabulary) {
        throw std::invalid_argument("other logits have a vocabulary of " +
                                    std::to_string(other.vocabulary) + "; the exact ones have " +
                                    std::to_string(exact.vocabulary));
    }
    if (!tokens.empty() && tokens.size() != exact.positions) {
        throw std::invalid_argument(std::to_string(tokens.size()) + " tokens for " +
                                    std::to_string(exact.positions) + " positions");
    }
    requireFinite(exact, "exact");
    requireFinite(other, "other");
    for (const std::uint32_t id : tokens) {
        if (id >= exact.vocabulary) {
            throw std::invalid_argument("token id " + std::to_string(id) +
                                        " is outside the vocabulary of " +
                                        std::to_string(exact.vocabulary));
        }
    }

    const std::size_t n = static_cast<std::size_t>(exact.positions);
    const std::size_t v = static_cast<std::size_t>(exact.vocabulary);
    const std::size_t k = std::min<std::size_t>(5, v);
    Comparison c;
    c.kl_per_position.resize(n);
    c.top1_per_position.resize(n);
    c.top5_overlap_per_position.resize(n);
    c.max_abs_error_per_position.resize(n);
    c.rms_error_per_position.resize(n);
    double squares = 0.0;
    double nll_exact = 0.0;
    double nll_other = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        const std::span<const double> e = exact.values.subspan(p * v, v);
        const std::span<const double> o = other.values.subspan(p * v, v);
        const std::vector<double> le = logSoftmax(e);
        const std::vector<double> lo = logSoftmax(o);
        double row_squares = 0.0;
        double largest = 0.0;
        for (std::size_t u = 0; u < v; ++u) {
            const double d = e[u] - o[u];
            row_squares += d * d;
            squares += d * d;
            largest = std::max(largest, std::fabs(d));
        }
        c.kl_per_position[p] = klDivergence(e, o, le, lo);
        c.max_abs_error_per_position[p] = largest;
        c.rms_error_per_position[p] = std::sqrt(row_squares / static_cast<double>(v));
        const std::vector<std::uint32_t> te = topIds(e, k);
        const std::vector<std::uint32_t> to = topIds(o, k);
        c.top1_per_position[p] = te[0] == to[0] ? 1 : 0;
        std::size_t shared = 0;
        for (const std::uint32_t id : te) {
            if (std::find(to.begin(), to.end(), id) != to.end()) ++shared;
        }
        c.top5_overlap_per_position[p] = static_cast<double>(shared) / static_cast<double>(k);
        c.max_abs_error = std::max(c.max_abs_error, largest);
        if (!tokens.empty() && p + 1 < n) {
            nll_exact -= le[tokens[p + 1]];
            nll_other -= lo[tokens[p + 1]];
        }
    }
    c.kl_mean = meanOf(c.kl_per_position);
    std::vector<double> sorted = c.kl_per_position;
    std::sort(sorted.begin(), sorted.end());
    c.kl_median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    c.kl_p99 = percentile(sorted, 0.99);
    c.kl_max = sorted.back();
    std::size_t agree = 0;
    for (const std::uint8_t a : c.top1_per_position) agree += a;
    c.top1_agreement = static_cast<double>(agree) / static_cast<double>(n);
    c.top5_overlap = meanOf(c.top5_overlap_per_position);
    c.rms_error = std::sqrt(squares / (static_cast<double>(n) * static_cast<double>(v)));
    if (!tokens.empty() && n >= 2) {
        c.perplexity_exact = std::exp(nll_exact / static_cast<double>(n - 1));
        c.perplexity_other = std::exp(nll_other / static_cast<double>(n - 1));
    }
    return c;
}

}  // namespace Nuvexis::Core::Tarvel
