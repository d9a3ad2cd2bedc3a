#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "tarvel/generate/sampling.hpp"
#include "tarvel/kv/session.hpp"
#include "tarvel/reference/log_probs.hpp"

namespace Nuvexis::Core::Tarvel {

struct GenerateOptions {
    SamplingOptions sampling;
    std::uint64_t max_tokens = 64;
    std::optional<std::uint32_t> eos;    // sampling this id ends generation; it is not emitted
    std::vector<std::uint32_t> end_ids;  // so does sampling any of these (end-of-turn ids)
    // Only ids below this are sampled; absent, every id of the vocabulary. A padded vocabulary
    // has ids past the tokenizer's pieces that no text can show.
    std::optional<std::uint32_t> sampled_vocabulary;
    // Precision, cache limit, threads and observer of every step. Sampling reads only a chunk's
    // last position, so each step computes that position's logits alone, whatever `logits` says.
    TransformerKvOptions kv;
    // Feed the last emitted token too, so that the session holds every emitted token and a
    // later run (from a snapshot of it) continues exactly where this one stopped. A token that
    // could not be fed (the session is at its context) is then not emitted either.
    bool feed_last = false;
    // Asked after each emitted token (after on_token); true ends generation there, with
    // GenerateStop::requested. With feed_last the token is fed first.
    std::function<bool()> stop_requested;
    // Each emitted token's log-probability under the model's own distribution (log-softmax of
    // the step's logits over the whole vocabulary, before temperature, penalties or any cut),
    // with the `top_logprobs` likeliest ids there: handed to on_logprobs just before on_token,
    // and kept in the result.
    bool logprobs = false;
    std::uint64_t top_logprobs = 0;
    std::function<void(const TokenLogProbs&)> on_logprobs;
};

enum class GenerateStop : std::uint8_t { max_tokens = 0, eos = 1, context_full = 2, requested = 3 };

struct GenerateResult {
    std::vector<std::uint32_t> tokens;  // emitted ids, EOS excluded
    GenerateStop stop = GenerateStop::max_tokens;
    std::vector<TokenLogProbs> logprobs;  // one per emitted token when options.logprobs
};

// Feeds `input` to the session (when empty, the logits of the session's last position are
// recomputed from its cache, bit-identical to those its step returned), then samples up to
// max_tokens ids, calling on_token for each before the next step. The draw for a token is
// number p of the seed's sequence, p being the position the token takes, so a run split into
// several (through a snapshot) samples exactly what one run samples. A session with nothing in
// it and no input is refused with std::invalid_argument "generation needs at least one token".
// Throws what sampleNext throws; on_token may throw to stop generation.
GenerateResult generate(TransformerKvSession& session, std::span<const std::uint32_t> input,
                        const GenerateOptions& options,
                        const std::function<void(std::uint32_t)>& on_token);

// The token sampled from the last row of a step's logits for the token at `position` (which
// also numbers its draw), among the first options.sampled_vocabulary ids; history is the
// sequence so far (the session's token prefix), for the repetition penalty. Throws what
// sampleToken throws, and std::invalid_argument "sampled vocabulary is empty" for a limit of 0.
std::uint32_t sampleNext(const Tensor& logits, const GenerateOptions& options,
                         std::uint64_t position, std::span<const std::uint32_t> history = {});

// A session holding the first `positions` positions of this one (its tokens and cached keys and
// values, bit for bit those a session fed only those tokens holds), with its tag; the session
// itself is not changed. Throws std::invalid_argument "session prefix is longer than the
// session" and TransformerKvError invalid_state for a session whose parts disagree.
TransformerKvSession sessionPrefix(const TransformerKvSession& session, std::uint64_t positions);

// The logits row of the session's last position, recomputed on a copy that holds every
// position but the last; the session itself is not changed.
Tensor lastPositionLogits(const TransformerKvSession& session, const TransformerKvOptions& options);

}  // namespace Nuvexis::Core::Tarvel
