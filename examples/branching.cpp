// Branching: prefill a prompt once, then fork the session into several continuations. A fork is
// a copy of the session; it shares only the immutable model, so each branch grows on its own.
//
//   build/<preset>/examples/branching

#include <cstdint>
#include <iostream>
#include <vector>

#include "tarvel/tarvel.hpp"
#include "tiny_model.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace tarvel_examples;

int main() try {
    const auto model = tinyModel();
    const TransformerKvOptions options;

    // The shared prefix is computed once.
    TransformerKvSession base(model, 1);
    const TransformerKvStep prefill = forwardCached(chunk({3, 14, 15, 9, 2}), base, options);
    const std::vector<std::uint8_t> base_before = saveSnapshot(base);

    // Three branches, each starting with a different first token and then decoding greedily.
    const std::vector<std::uint32_t> first_tokens = {argmax(prefill.logits, 4), 7, 21};
    std::vector<TransformerKvSession> branches;
    branches.reserve(first_tokens.size());
    for (std::size_t b = 0; b < first_tokens.size(); ++b) {
        branches.emplace_back(base);  // copy construction is the fork
        TransformerKvSession& branch = branches.back();
        std::uint32_t next = first_tokens[b];
        for (int i = 0; i < 4; ++i) {
            next = argmax(forwardCached(chunk({next}), branch, options).logits, 0);
        }
        std::cout << "branch " << b << ":";
        for (std::uint32_t token : branch.token_prefix()) std::cout << ' ' << token;
        std::cout << "  (" << branch.position() << " positions)\n";
    }

    // The base session did not move: its snapshot is byte for byte what it was before.
    if (saveSnapshot(base) != base_before) {
        std::cerr << "stepping a fork changed its source\n";
        return 1;
    }
    std::cout << "base still holds " << base.position() << " positions\n";

    // Sessions share the model: one reference here, one per session.
    std::cout << "model shared by " << model.use_count() - 1 << " sessions\n";

    // Forks given the same token compute the same thing, bit for bit.
    TransformerKvSession left(base);
    TransformerKvSession right(base);
    const Tensor a = forwardCached(chunk({11}), left, options).logits;
    const Tensor b = forwardCached(chunk({11}), right, options).logits;
    if (a.data != b.data) {
        std::cerr << "two forks given the same token disagree\n";
        return 1;
    }
    std::cout << "two forks given the same token return identical logits\n";
    return 0;
} catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
}
