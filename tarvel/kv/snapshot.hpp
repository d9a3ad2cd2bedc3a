#pragma once

#include <cstdint>
#include <vector>

#include "tarvel/format/container.hpp"
#include "tarvel/kv/session.hpp"

namespace Nuvexis::Core::Tarvel {

inline constexpr const char* snapshot_magic = "TARVCTS1";

namespace detail {
// The session fields that follow the tensor table and end a snapshot's manifest, in file order.
struct SnapshotTail {
    std::uint64_t model_checksum = 0;
    std::uint64_t numeric_policy = 0;  // the spec fingerprint again, checked on its own
    std::uint64_t position = 0;
    std::uint64_t tag = 0;
    std::uint64_t aux = 0;
    std::uint64_t token_count = 0;
    std::uint64_t state_length = 0;
    std::uint32_t cache_count = 0;
};
SnapshotTail readSnapshotTail(ArtifactReader& reader);
void writeSnapshotTail(ByteBuffer& out, const SnapshotTail& tail);
}  // namespace detail

// The session's complete state (position, tag, aux, tokens, tokenizer state, cache), bound to
// its model by the spec fingerprint, the model's artifact checksum and its tokenizer identity.
// Reads the session only.
std::vector<std::uint8_t> saveSnapshot(const TransformerKvSession& session);

// Validates the whole file against the session's model and the limits, then replaces the
// session's state. A refusal of the bytes throws ArtifactError (a std::invalid_argument) with
// its kind; any failure leaves the session exactly as it was, and the session keeps its model.
void restoreSnapshot(TransformerKvSession& session, const std::vector<std::uint8_t>& bytes,
                     const ArtifactLimits& limits);

}  // namespace Nuvexis::Core::Tarvel
