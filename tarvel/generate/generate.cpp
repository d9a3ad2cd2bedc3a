#include "tarvel/generate/generate.hpp"

#include <algorithm>
#include <stdexcept>

#include "tarvel/kv/cached_step.hpp"
#include "tarvel/kv/kv_error.hpp"
#include "tarvel/model/forward.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

void checkSampledVocabulary(const GenerateOptions& options) {
    if (options.sampled_vocabulary && *options.sampled_vocabulary == 0)
        throw std::invalid_argument("sampled vocabulary is empty");
}

}  // namespace

std::uint32_t sampleNext(const Tensor& logits, const GenerateOptions& options,
                         std::uint64_t position, std::span<const std::uint32_t> history) {
    checkSampledVocabulary(options);
    const std::uint64_t width = logits.shape.at(2);
    const std::uint64_t sampled = options.sampled_vocabulary
                                      ? std::min<std::uint64_t>(*options.sampled_vocabulary, width)
                                      : width;
    const std::span<const double> row =
        std::span<const double>(logits.data)
            .subspan(static_cast<std::size_t>((logits.shape.at(1) - 1) * width),
                     static_cast<std::size_t>(sampled));
    return sampleToken(row, options.sampling, position, history);
}

TransformerKvSession sessionPrefix(const TransformerKvSession& session, std::uint64_t positions) {
    const std::uint64_t p = session.position();
    if (positions > p) throw std::invalid_argument("session prefix is longer than the session");
    const std::vector<std::uint32_t>& prefix = session.token_prefix();
    if (prefix.size() != p) {
        // A step would refuse it too; say so in the session's own words.
        throw TransformerKvError(TransformerKvErrorKind::invalid_state,
                                 "session position and token prefix differ");
    }
    std::vector<Tensor> cache;
    if (positions > 0) {
        cache.reserve(session.cache().size());
        for (const Tensor& full : session.cache()) {
            if (full.shape.size() != 4 || full.shape[1] != p) {
                throw TransformerKvError(TransformerKvErrorKind::invalid_state,
                                         "cached key shape does not match session");
            }
            Tensor cut({1, positions, full.shape[2], full.shape[3]}, 0.0, full.double_precision);
            std::copy(full.data.begin(),
                      full.data.begin() + static_cast<std::ptrdiff_t>(cut.data.size()),
                      cut.data.begin());
            cache.push_back(std::move(cut));
        }
    }
    TransformerKvSession earlier(session.model(), session.tag());
    earlier.setTokenPrefix(std::vector<std::uint32_t>(
        prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(positions)));
    earlier.setCache(std::move(cache));
    earlier.advancePosition(positions);
    return earlier;
}

Tensor lastPositionLogits(const TransformerKvSession& session,
                          const TransformerKvOptions& options) {
    const std::uint64_t p = session.position();
    if (p == 0) throw std::invalid_argument("generation needs at least one token");
    TransformerKvSession earlier = sessionPrefix(session, p - 1);
    return forwardCached(TokenBatch{1, 1, {session.token_prefix().back()}, {}}, earlier, options)
        .logits;
}

GenerateResult generate(TransformerKvSession& session, std::span<const std::uint32_t> input,
                        const GenerateOptions& options,
                        const std::function<void(std::uint32_t)>& on_token) {
    // Options are checked before the session is touched.
    validateSampling(options.sampling);
    checkSampledVocabulary(options);
    TransformerKvOptions kv = options.kv;
    kv.logits = TransformerKvLogits::last_position;
    Tensor logits =
        input.empty() ? lastPositionLogits(session, kv)
                      : forwardCached(TokenBatch{1, input.size(), {input.begin(), input.end()}, {}},
                                      session, kv)
                            .logits;
    GenerateResult result;
    const std::uint64_t context = session.model()->spec().context;
    for (std::uint64_t i = 0; i < options.max_tokens; ++i) {
        const std::uint32_t token =
            sampleNext(logits, options, session.position(), session.token_prefix());
        if ((options.eos && token == *options.eos) ||
            std::find(options.end_ids.begin(), options.end_ids.end(), token) !=
                options.end_ids.end()) {
            result.stop = GenerateStop::eos;
            return result;
        }
        if (options.feed_last && session.position() >= context) {
            result.stop = GenerateStop::context_full;
            return result;
        }
        if (options.logprobs) {
            const std::uint64_t v = logits.shape.at(2);
            const std::span<const double> row =
                std::span<const double>(logits.data)
                    .subspan(static_cast<std::size_t>((logits.shape.at(1) - 1) * v),
                             static_cast<std::size_t>(v));
            result.logprobs.push_back(
                tokenLogProbs(row, session.position(), token, options.top_logprobs));
            if (options.on_logprobs) options.on_logprobs(result.logprobs.back());
        }
        result.tokens.push_back(token);
        if (on_token) on_token(token);
        const bool requested = options.stop_requested && options.stop_requested();
        if (requested) result.stop = GenerateStop::requested;
        const bool last = requested || i + 1 == options.max_tokens;
        if (last && !options.feed_last) break;
        if (session.position() >= context) {
            result.stop = GenerateStop::context_full;
            return result;
        }
        logits = forwardCached(TokenBatch{1, 1, {token}, {}}, session, kv).logits;
        if (requested) break;
    }
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
