#include "tarvel/reference/log_probs.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Nuvexis::Core::Tarvel {
namespace {

// m and log(s) of the formula, checking every logit once.
struct Normaliser {
    double max = 0.0;
    double log_sum = 0.0;
};

Normaliser normaliser(std::span<const double> logits) {
    if (logits.empty()) throw std::invalid_argument("logits row is empty");
    double max = logits[0];
    for (const double z : logits) {
        if (!std::isfinite(z)) throw std::invalid_argument("logits are not finite");
        if (z > max) max = z;
    }
    double sum = 0.0;
    for (const double z : logits) sum += std::exp(z - max);
    return {max, std::log(sum)};
}

}  // namespace

std::vector<double> logSoftmax(std::span<const double> logits) {
    const Normaliser n = normaliser(logits);
    std::vector<double> out(logits.size());
    for (std::size_t u = 0; u < logits.size(); ++u) out[u] = (logits[u] - n.max) - n.log_sum;
    return out;
}

double tokenLogProb(std::span<const double> logits, std::uint32_t token) {
    const Normaliser n = normaliser(logits);
    if (token >= logits.size()) throw std::out_of_range("token id is outside the logits row");
    return (logits[token] - n.max) - n.log_sum;
}

std::vector<TokenLogProb> topLogProbs(std::span<const double> logprobs, std::uint64_t count) {
    std::vector<std::uint32_t> ids(logprobs.size());
    for (std::size_t u = 0; u < ids.size(); ++u) ids[u] = static_cast<std::uint32_t>(u);
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(count, ids.size()));
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        return logprobs[a] > logprobs[b] || (logprobs[a] == logprobs[b] && a < b);
    };
    std::partial_sort(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k), ids.end(), before);
    std::vector<TokenLogProb> top(k);
    for (std::size_t i = 0; i < k; ++i) top[i] = {ids[i], logprobs[ids[i]]};
    return top;
}

TokenLogProbs tokenLogProbs(std::span<const double> logits, std::uint64_t position,
                            std::uint32_t token, std::uint64_t top) {
    const std::vector<double> logprobs = logSoftmax(logits);
    if (token >= logprobs.size()) throw std::out_of_range("token id is outside the logits row");
    TokenLogProbs out;
    out.position = position;
    out.token = token;
    out.logprob = logprobs[token];
    if (top > 0) out.top = topLogProbs(logprobs, top);
    return out;
}

}  // namespace Nuvexis::Core::Tarvel
