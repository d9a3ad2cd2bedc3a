#include "tarvel/generate/sampling.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace Nuvexis::Core::Tarvel {

std::uint64_t splitMix64(std::uint64_t seed, std::uint64_t index) {
    std::uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double unitInterval(std::uint64_t bits) {
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

void validateSampling(const SamplingOptions& options) {
    if (!std::isfinite(options.temperature) || options.temperature < 0.0) {
        throw std::invalid_argument("temperature must be finite and not negative");
    }
    if (!(options.top_p > 0.0 && options.top_p <= 1.0)) {
        throw std::invalid_argument("top-p must be greater than zero and at most one");
    }
}

std::uint32_t sampleToken(std::span<const double> logits, const SamplingOptions& options,
                          std::uint64_t draw_index) {
    validateSampling(options);
    if (logits.empty()) throw std::invalid_argument("sampling needs at least one logit");
    if (options.temperature == 0.0) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < logits.size(); ++i) {
            if (logits[i] > logits[best]) best = i;
        }
        return static_cast<std::uint32_t>(best);
    }
    std::vector<double> weights(logits.size());
    double top = -INFINITY;
    for (std::size_t i = 0; i < logits.size(); ++i) {
        weights[i] = logits[i] / options.temperature;
        // A tiny temperature can push finite logits to infinity; the weights would be NaN.
        if (!std::isfinite(weights[i])) {
            throw std::invalid_argument("temperature is too small for these logits");
        }
        if (weights[i] > top) top = weights[i];
    }
    for (double& w : weights) w = std::exp(w - top);
    std::vector<std::uint32_t> order(logits.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return weights[a] != weights[b] ? weights[a] > weights[b] : a < b;
    });
    double z = 0.0;
    for (const double w : weights) z += w;
    std::size_t kept = order.size();
    if (options.top_p < 1.0) {
        double cumulative = 0.0;
        for (std::size_t j = 0; j < order.size(); ++j) {
            cumulative += weights[order[j]] / z;
            if (cumulative >= options.top_p) {
                kept = j + 1;
                break;
            }
        }
    }
    double s = 0.0;
    for (std::size_t j = 0; j < kept; ++j) s += weights[order[j]];
    const double target = unitInterval(splitMix64(options.seed, draw_index)) * s;
    double running = 0.0;
    for (std::size_t j = 0; j < kept; ++j) {
        running += weights[order[j]];
        if (target < running) return order[j];
    }
    return order[kept - 1];
}

}  // namespace Nuvexis::Core::Tarvel
