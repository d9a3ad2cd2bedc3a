#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace tarvel_fuzz {

using namespace Nuvexis::Core::Tarvel;

// Small enough that inputs reach every limit check, large enough for every catalogue snapshot.
inline constexpr ArtifactLimits fuzz_limits{4096, 1024, 256, 8, 4, 8, 16, 1024};

struct NamedBytes {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

// The models and sessions the snapshot targets restore into and their seeds come from: an
// unbound multi-head model, a grouped-query model bound to a tokenizer, and an untied GELU
// model with a short context bound to the empty identity.
struct Catalogue {
    std::vector<std::shared_ptr<const TransformerModel>> models;
    // Per model, a session that already holds tokens, cache and (where bound) tokenizer state.
    std::vector<TransformerKvSession> held;
    // Valid snapshots of fresh, mid-sequence and full-context sessions in both precisions.
    std::vector<NamedBytes> snapshots;
};

// Built on first use; the same in every process.
const Catalogue& catalogue();

}  // namespace tarvel_fuzz
