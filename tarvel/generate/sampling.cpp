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
    if (!(options.min_p >= 0.0 && options.min_p <= 1.0)) {
        throw std::invalid_argument("min-p must be at least zero and at most one");
    }
    if (!std::isfinite(options.repetition_penalty) || !(options.repetition_penalty > 0.0)) {
        throw std::invalid_argument("repetition penalty must be finite and greater than zero");
    }
}

std::uint32_t sampleToken(std::span<const double> row, const SamplingOptions& options,
                          std::uint64_t draw_index, std::span<const std::uint32_t> history) {
    validateSampling(options);
    if (row.empty()) throw std::invalid_argument("sampling needs at least one logit");
    std::vector<double> penalized;
    std::span<const double> logits = row;
    if (options.repetition_penalty != 1.0 && !history.empty()) {
        penalized.assign(row.begin(), row.end());
        std::vector<bool> seen(row.size(), false);
        for (const std::uint32_t id : history) {
            if (id >= row.size() || seen[id]) continue;
            seen[id] = true;
            double& l = penalized[id];
            l = l < 0.0 ? l * options.repetition_penalty : l / options.repetition_penalty;
        }
        logits = penalized;
    }
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
    std::size_t kept = order.size();
    if (options.top_k > 0 && options.top_k < kept) kept = static_cast<std::size_t>(options.top_k);
    if (options.min_p > 0.0) {
        const double floor = options.min_p * weights[order[0]];
        std::size_t above = 1;
        while (above < kept && weights[order[above]] >= floor) ++above;
        kept = above;
    }
    double z = 0.0;
    if (kept == order.size()) {
        for (const double w : weights) z += w;
    } else {
        std::vector<bool> in(weights.size(), false);
        for (std::size_t j = 0; j < kept; ++j) in[order[j]] = true;
        for (std::size_t i = 0; i < weights.size(); ++i) {
            if (in[i]) z += weights[i];
        }
    }
    if (options.top_p < 1.0) {
        double cumulative = 0.0;
        for (std::size_t j = 0; j < kept; ++j) {
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

StopText::StopText(std::vector<std::string> stops) : stops_(std::move(stops)) {
    for (const std::string& stop : stops_) {
        if (stop.empty()) throw std::invalid_argument("stop text is empty");
    }
}

std::string StopText::push(std::string_view text) {
    if (stopped_) return {};
    pending_.append(text);
    std::size_t first = std::string::npos;
    for (const std::string& stop : stops_) first = std::min(first, pending_.find(stop));
    if (first != std::string::npos) {
        stopped_ = true;
        std::string shown = pending_.substr(0, first);
        pending_.clear();
        return shown;
    }
    // Hold back the longest end of the text that begins one of the stop strings.
    std::size_t held = 0;
    for (const std::string& stop : stops_) {
        for (std::size_t n = std::min(stop.size() - 1, pending_.size()); n > held; --n) {
            if (pending_.compare(pending_.size() - n, n, stop, 0, n) == 0) {
                held = n;
                break;
            }
        }
    }
    std::string shown = pending_.substr(0, pending_.size() - held);
    pending_.erase(0, pending_.size() - held);
    return shown;
}

std::string StopText::finish() {
    std::string rest;
    rest.swap(pending_);
    return stopped_ ? std::string() : rest;
}

}  // namespace Nuvexis::Core::Tarvel
