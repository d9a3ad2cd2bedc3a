#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/kv/detail/snapshot_tail.hpp"
#include "tarvel/tarvel.hpp"

namespace tarvel_test {

using namespace Nuvexis::Core::Tarvel;

// A snapshot taken apart into fields, to be edited and put back together, so that a test can
// reach a check that sits behind the checksums.
struct EditableSnapshot : detail::SnapshotTail {
    std::string magic = "TARVCTS1";
    ArtifactManifest manifest;
    ByteBuffer trailing;  // bytes after the tail, inside the manifest
    ByteBuffer payload;
};

inline EditableSnapshot parseSnapshot(const ByteBuffer& bytes) {
    const ArtifactLimits limits{~0ull, ~0ull, ~0ull, ~0u, ~0u, ~0ull, ~0ull, ~0ull};
    EditableSnapshot s;
    s.magic.assign(bytes.begin(), bytes.begin() + 8);
    const ArtifactHeader header = readArtifactHeader(bytes, s.magic, limits);
    ArtifactReader reader{bytes, 40, header.payload_offset};
    s.manifest = readArtifactManifest(reader, limits);
    static_cast<detail::SnapshotTail&>(s) = detail::readSnapshotTail(reader);
    s.trailing.assign(bytes.begin() + static_cast<std::ptrdiff_t>(reader.next),
                      bytes.begin() + static_cast<std::ptrdiff_t>(header.payload_offset));
    s.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(header.payload_offset),
                     bytes.end());
    return s;
}

// Reassembles the file with a correct global checksum; tensor checksums are recomputed from
// the payload when asked (records whose range lies outside the payload keep theirs).
inline ByteBuffer buildSnapshot(EditableSnapshot s, bool recompute_tensor_checksums) {
    if (recompute_tensor_checksums) {
        for (ArtifactTensorRecord& record : s.manifest.tensors) {
            if (record.offset <= s.payload.size() &&
                record.byte_count <= s.payload.size() - record.offset) {
                record.checksum = checksum64(s.payload.data() + record.offset,
                                             static_cast<std::size_t>(record.byte_count));
            }
        }
    }
    ByteBuffer manifest = writeManifest(s.manifest.tensors, s.manifest.spec_fingerprint,
                                        s.manifest.tokenizer_identity);
    detail::writeSnapshotTail(manifest, s);
    manifest.insert(manifest.end(), s.trailing.begin(), s.trailing.end());
    return writeArtifact(s.magic, manifest, s.payload);
}

// Stores the global checksum the bytes now call for.
inline void resealChecksum(ByteBuffer& bytes) {
    storeLittleEndian(bytes.data() + artifact_checksum_offset, artifactGlobalChecksum(bytes), 8);
}

}  // namespace tarvel_test

namespace tarvel_test {

// The session with its tokenizer state and aux replaced. Only a restore sets those, so this
// edits the session's own snapshot and restores it back.
inline TransformerKvSession withStateAndAux(TransformerKvSession s, const std::string& state,
                                            std::uint64_t aux, const ArtifactLimits& limits) {
    EditableSnapshot e = parseSnapshot(saveSnapshot(s));
    const std::uint64_t state_start = e.manifest.tensors[1].offset;
    const std::uint64_t old_length = e.manifest.tensors[1].byte_count;
    e.payload.erase(e.payload.begin() + static_cast<std::ptrdiff_t>(state_start),
                    e.payload.begin() + static_cast<std::ptrdiff_t>(state_start + old_length));
    e.payload.insert(e.payload.begin() + static_cast<std::ptrdiff_t>(state_start), state.begin(),
                     state.end());
    e.manifest.tensors[1].shape = {state.size()};
    e.manifest.tensors[1].byte_count = state.size();
    for (std::size_t i = 2; i < e.manifest.tensors.size(); ++i) {
        e.manifest.tensors[i].offset = e.manifest.tensors[i].offset - old_length + state.size();
    }
    e.state_length = state.size();
    e.aux = aux;
    restoreSnapshot(s, buildSnapshot(e, true), limits);
    return s;
}

}  // namespace tarvel_test
