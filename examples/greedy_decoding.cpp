// Greedy decoding: prefill a prompt in one step, then feed back the most likely token one step
// at a time until the model's context is full, printing each token and the cache statistics.
//
//   build/<preset>/examples/greedy_decoding

#include <cstdint>
#include <iostream>
#include <vector>

#include "tarvel/tarvel.hpp"
#include "tiny_model.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace tarvel_examples;

namespace {

void printStats(const TransformerKvStats& stats) {
    std::cout << "  | cache: " << stats.tokens << " positions, " << stats.cached_values
              << " values, " << stats.used_bytes << " bytes\n";
}

}  // namespace

int main() try {
    // One immutable model, shared by every session that uses it.
    const auto model = tinyModel();
    const TransformerSpec& spec = model->spec();

    // A session holds one token sequence and its key/value cache. The tag is ours to choose.
    TransformerKvSession session(model, 1);

    // Step options: float32 rounding (the default; true would keep full double precision), a
    // cap on the cache size, and an optional observer called once per successful step.
    TransformerKvOptions options;
    options.max_cache_bytes = 1 << 20;

    // Prefill: the whole prompt in one step. The logits have shape {1, prompt length, V}; row
    // t scores the token that follows prompt[t].
    const std::vector<std::uint32_t> prompt = {3, 14, 15, 9, 2};
    TransformerKvStep step = forwardCached(chunk(prompt), session, options);
    std::uint32_t next = argmax(step.logits, prompt.size() - 1);
    std::cout << "prefill " << prompt.size() << " tokens -> next " << next;
    printStats(step.stats);

    // Decode: one token per step. Each step computes only the new position and attends over
    // the cached keys and values of all earlier ones.
    while (session.position() < spec.context) {
        const std::uint32_t fed = next;
        step = forwardCached(chunk({fed}), session, options);
        next = argmax(step.logits, 0);
        std::cout << "decode " << fed << " -> next " << next;
        printStats(step.stats);
    }

    std::cout << "sequence:";
    for (std::uint32_t token : session.token_prefix()) std::cout << ' ' << token;
    std::cout << '\n';

    // The session is full. A further step is refused with a kind a program can branch on, and
    // the session is left exactly as it was.
    try {
        forwardCached(chunk({next}), session, options);
        std::cerr << "a step past the context was accepted\n";
        return 1;
    } catch (const TransformerKvError& e) {
        const bool expected = e.kind() == TransformerKvErrorKind::context_exceeded;
        std::cout << "one more step: refused (" << e.what() << ")\n";
        if (!expected || session.position() != spec.context) return 1;
    }

    // The last step's logits are those of a full forward pass over the whole sequence, bit for
    // bit, when both run at the same precision.
    const std::vector<std::uint32_t>& tokens = session.token_prefix();
    const Tensor full = transformerForward(spec, model->weights(), chunk(tokens),
                                           ForwardOptions{options.double_precision, {}, true});
    for (std::uint64_t u = 0; u < spec.vocabulary; ++u) {
        if (at(full, {0, tokens.size() - 1, u}) != at(step.logits, {0, 0, u})) {
            std::cerr << "the cached step differs from the full forward pass\n";
            return 1;
        }
    }
    std::cout << "last step equals a full forward pass over all " << tokens.size() << " tokens\n";
    return 0;
} catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
}
