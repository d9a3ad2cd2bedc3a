#pragma once

#include <cstdint>

#include "tarvel/format/encoding.hpp"

namespace Nuvexis::Core::Tarvel::detail {

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

}  // namespace Nuvexis::Core::Tarvel::detail
