#include "tarvel/generate/generate.hpp"

#include <stdexcept>

#include "tarvel/kv/cached_step.hpp"
#include "tarvel/kv/kv_error.hpp"
#include "tarvel/model/forward.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

std::span<const double> lastRow(const Tensor& logits) {
    const std::uint64_t width = logits.shape[2];
    return std::span<const double>(logits.data)
        .subspan(static_cast<std::size_t>((logits.shape[1] - 1) * width),
                 static_cast<std::size_t>(width));
}

}  // namespace

Tensor lastPositionLogits(const TransformerKvSession& session,
                          const TransformerKvOptions& options) {
    const std::uint64_t p = session.position();
    if (p == 0) throw std::invalid_argument("generation needs at least one token");
    const std::vector<std::uint32_t>& prefix = session.token_prefix();
    if (prefix.size() != p) {
        // The step below would refuse it too; say so in the session's own words.
        throw TransformerKvError(TransformerKvErrorKind::invalid_state,
                                 "session position and token prefix differ");
    }
    std::vector<Tensor> cache;
    if (p > 1) {
        cache.reserve(session.cache().size());
        for (const Tensor& full : session.cache()) {
            if (full.shape.size() != 4 || full.shape[1] != p) {
                throw TransformerKvError(TransformerKvErrorKind::invalid_state,
                                         "cached key shape does not match session");
            }
            Tensor cut({1, p - 1, full.shape[2], full.shape[3]}, 0.0, full.double_precision);
            std::copy(full.data.begin(),
                      full.data.begin() + static_cast<std::ptrdiff_t>(cut.data.size()),
                      cut.data.begin());
            cache.push_back(std::move(cut));
        }
    }
    TransformerKvSession earlier(session.model(), session.tag());
    earlier.setTokenPrefix(std::vector<std::uint32_t>(prefix.begin(), prefix.end() - 1));
    earlier.setCache(std::move(cache));
    earlier.advancePosition(p - 1);
    return forwardCached(TokenBatch{1, 1, {prefix.back()}, {}}, earlier, options).logits;
}

GenerateResult generate(TransformerKvSession& session, std::span<const std::uint32_t> input,
                        const GenerateOptions& options,
                        const std::function<void(std::uint32_t)>& on_token) {
    validateSampling(options.sampling);
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
            sampleToken(lastRow(logits), options.sampling, session.position());
        if (options.eos && token == *options.eos) {
            result.stop = GenerateStop::eos;
            return result;
        }
        result.tokens.push_back(token);
        if (on_token) on_token(token);
        if (i + 1 == options.max_tokens && !options.feed_last) break;
        if (session.position() >= context) {
            result.stop = GenerateStop::context_full;
            return result;
        }
        logits = forwardCached(TokenBatch{1, 1, {token}, {}}, session, kv).logits;
    }
    return result;
}

}  // namespace Nuvexis::Core::Tarvel
