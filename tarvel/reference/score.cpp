#include "tarvel/reference/score.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include "tarvel/kv/cached_step.hpp"

namespace Nuvexis::Core::Tarvel {

void requireTokenIds(const TransformerSpec& spec, std::span<const std::uint32_t> tokens) {
    for (const std::uint32_t id : tokens) {
        if (id >= spec.vocabulary) {
            throw std::invalid_argument("token id " + std::to_string(id) +
                                        " is outside the vocabulary of " +
                                        std::to_string(spec.vocabulary));
        }
    }
}

ScoreResult scoreTokens(const std::shared_ptr<const TransformerModel>& model,
                        std::span<const std::uint32_t> tokens, const ScoreOptions& options) {
    if (!model) throw std::invalid_argument("session requires a model");
    if (tokens.empty()) throw std::invalid_argument("no tokens to score");
    const TransformerSpec& spec = model->spec();
    if (tokens.size() > spec.context) {
        throw std::invalid_argument(std::to_string(tokens.size()) +
                                    " tokens exceed the model's context of " +
                                    std::to_string(spec.context));
    }
    requireTokenIds(spec, tokens);
    TransformerKvOptions kv;
    kv.double_precision = options.double_precision;
    kv.max_cache_bytes = std::numeric_limits<std::uint64_t>::max();
    kv.threads = options.threads;
    kv.logits = TransformerKvLogits::every_position;
    TransformerKvSession session(model, 1);
    TransformerKvStep step = forwardCached(
        TokenBatch{1, tokens.size(), {tokens.begin(), tokens.end()}, {}}, session, kv);
    ScoreResult result;
    result.logits = std::move(step.logits);
    result.logits.shape = {tokens.size(), spec.vocabulary};
    const std::span<const double> all(result.logits.data);
    const std::size_t v = spec.vocabulary;
    result.tokens.reserve(tokens.size() - 1);
    for (std::size_t j = 1; j < tokens.size(); ++j) {
        result.tokens.push_back(
            tokenLogProbs(all.subspan((j - 1) * v, v), j, tokens[j], options.top));
    }
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
