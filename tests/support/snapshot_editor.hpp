#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace tarvel_test {

using namespace Nuvexis::Core::Tarvel;

// A snapshot taken apart into fields, to be edited and put back together, so that a test can
// reach a check that sits behind the checksums.
struct EditableSnapshot {
    std::string magic = "TARVCTS1";
    ArtifactManifest manifest;
    std::uint64_t model_checksum = 0;
    std::uint64_t numeric_policy = 0;
    std::uint64_t position = 0;
    std::uint64_t tag = 0;
    std::uint64_t aux = 0;
    std::uint64_t token_count = 0;
    std::uint64_t state_length = 0;
    std::uint32_t cache_count = 0;
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
    s.model_checksum = readU64(reader);
    s.numeric_policy = readU64(reader);
    s.position = readU64(reader);
    s.tag = readU64(reader);
    s.aux = readU64(reader);
    s.token_count = readU64(reader);
    s.state_length = readU64(reader);
    s.cache_count = readU32(reader);
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
    ByteBuffer manifest =
        writeManifest(s.manifest.tensors, s.manifest.spec_fingerprint,
                      s.manifest.tokenizer_identity);
    writeU64(manifest, s.model_checksum);
    writeU64(manifest, s.numeric_policy);
    writeU64(manifest, s.position);
    writeU64(manifest, s.tag);
    writeU64(manifest, s.aux);
    writeU64(manifest, s.token_count);
    writeU64(manifest, s.state_length);
    writeU32(manifest, s.cache_count);
    manifest.insert(manifest.end(), s.trailing.begin(), s.trailing.end());
    return writeArtifact(s.magic, manifest, s.payload);
}

// Stores the global checksum the bytes now call for.
inline void resealChecksum(ByteBuffer& bytes) {
    const std::uint64_t sum = artifactGlobalChecksum(bytes);
    for (int i = 0; i < 8; ++i) bytes[32 + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(sum >> (8 * i));
}

}  // namespace tarvel_test
