#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/export.hpp"
#include "tarvel/format/container.hpp"
#include "tarvel/kv/session.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

inline constexpr const char* snapshot_magic = "TARVCTS1";

// The session's complete state (position, tag, aux, tokens, tokenizer state, cache), bound to
// its model by the spec fingerprint, the model's artifact checksum and its tokenizer identity.
// Reads the session only.
std::vector<std::uint8_t> saveSnapshot(const TransformerKvSession& session);

// The tightest limits that still admit every snapshot a session on `model` can produce, at any
// position up to the full context, with at most `max_tokenizer_state_bytes` of tokenizer state.
// A service restoring snapshots of one model passes these, so that a damaged or hostile file is
// refused before anything larger than a real snapshot is allocated. A bound beyond 64 bits (or a
// count beyond 32) saturates.
ArtifactLimits snapshotLimits(const TransformerModel& model,
                              std::uint64_t max_tokenizer_state_bytes = 1048576);

// Validates the whole file against the session's model and the limits, then replaces the
// session's state. A refusal of the bytes throws ArtifactError (a std::invalid_argument) with
// its kind; any failure leaves the session exactly as it was, and the session keeps its model.
void restoreSnapshot(TransformerKvSession& session, const std::vector<std::uint8_t>& bytes,
                     const ArtifactLimits& limits);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
