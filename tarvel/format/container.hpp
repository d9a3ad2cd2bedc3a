#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/format/artifact_error.hpp"
#include "tarvel/format/encoding.hpp"
#include "tarvel/format/layout.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Payload element encodings of a tensor record.
enum class ArtifactDType : std::uint8_t { Float64 = 1, UInt32 = 2, Bytes = 3 };

struct ArtifactTensorRecord {
    std::string name;
    std::uint8_t dtype = 0;
    std::vector<std::uint64_t> shape;
    std::uint64_t offset = 0;  // from the start of the payload
    std::uint64_t byte_count = 0;
    std::uint64_t checksum = 0;
};

struct ArtifactManifest {
    std::uint64_t spec_fingerprint = 0;
    std::optional<std::string> tokenizer_identity;
    std::vector<ArtifactTensorRecord> tensors;
};

struct ArtifactHeader {
    std::uint64_t manifest_bytes = 0;
    std::uint64_t payload_bytes = 0;
    std::uint64_t payload_offset = 0;  // manifest_bytes + artifact_header_bytes
};

// Bounds the reader applies to bytes from outside. The defaults suit a service that restores
// snapshots of models up to a few hundred million parameters' worth of cache: 1 GiB files,
// 16 MiB manifests, 512 MiB per tensor, 100,000 tensors of rank at most 8, a million input
// tokens, 1 MiB of tokenizer state and 512 MiB of snapshot cache. snapshotLimits(model) gives
// the tightest limits that still admit every snapshot of one model.
struct ArtifactLimits {
    std::uint64_t max_file_bytes = 1073741824;
    std::uint64_t max_manifest_bytes = 16777216;
    std::uint64_t max_tensor_bytes = 536870912;
    std::uint32_t max_tensor_count = 100000;
    std::uint32_t max_tensor_rank = 8;
    std::uint64_t max_input_tokens = 1048576;
    std::uint64_t max_tokenizer_state_bytes = 1048576;
    std::uint64_t max_snapshot_cache_bytes = 536870912;
};

// The manifest prefix: fingerprint, tokenizer binding and tensor table. The caller appends
// its kind-specific tail.
ByteBuffer writeManifest(const std::vector<ArtifactTensorRecord>& tensors,
                         std::uint64_t spec_fingerprint,
                         const std::optional<std::string>& tokenizer_identity);

// Header, manifest and payload, with the global checksum patched in at its offset.
ByteBuffer writeArtifact(std::string_view magic, const ByteBuffer& manifest,
                         const ByteBuffer& payload);

namespace detail {
// The header with the manifest after it, in a buffer reserved for `payload_bytes` more; the
// payload length and the checksum are left for endArtifact.
ByteBuffer beginArtifact(std::string_view magic, const ByteBuffer& manifest,
                         std::uint64_t payload_bytes);
// Fills each record's checksum from its bytes in the payload starting at payload_start; the
// tensors are checksummed side by side.
void checksumRecords(const ByteBuffer& file, std::size_t payload_start,
                     std::vector<ArtifactTensorRecord>& records);
// Puts the final manifest (of the same length) over the one written, then the payload length
// and the global checksum into the header.
void endArtifact(ByteBuffer& file, const ByteBuffer& manifest);
}  // namespace detail

// The whole container in one buffer, with no payload apart to copy: header, manifest (with
// `tail` appended), then each tensor's bytes appended by `encode(j, file)` straight into the
// file, which is reserved for `payload_reserve` payload bytes. Each record's offset, byte_count
// and checksum come from what was appended; the manifest is then
// rewritten in place, its length fixed by names and shapes alone. The bytes are those of
// writeArtifact over the same manifest and payload.
template <typename Encode>
ByteBuffer writeArtifactInPlace(std::string_view magic, std::vector<ArtifactTensorRecord>& records,
                                std::uint64_t spec_fingerprint,
                                const std::optional<std::string>& tokenizer_identity,
                                const ByteBuffer& tail, std::uint64_t payload_reserve,
                                Encode&& encode) {
    const auto manifestOf = [&] {
        ByteBuffer manifest = writeManifest(records, spec_fingerprint, tokenizer_identity);
        writeBytes(manifest, tail.data(), tail.size());
        return manifest;
    };
    ByteBuffer file = detail::beginArtifact(magic, manifestOf(), payload_reserve);
    const std::size_t payload_start = file.size();
    for (std::size_t j = 0; j < records.size(); ++j) {
        const std::size_t start = file.size();
        encode(j, file);
        records[j].offset = start - payload_start;
        records[j].byte_count = file.size() - start;
    }
    detail::checksumRecords(file, payload_start, records);
    detail::endArtifact(file, manifestOf());
    return file;
}

ArtifactHeader readArtifactHeader(const ByteBuffer& file, std::string_view expected_magic,
                                  const ArtifactLimits& limits);
// Reads from a reader positioned at the manifest start with its limit at the payload offset;
// leaves it just after the last tensor record.
ArtifactManifest readArtifactManifest(ArtifactReader& reader, const ArtifactLimits& limits);
void validateTensorTable(const std::vector<ArtifactTensorRecord>& tensors,
                         std::uint64_t payload_bytes, const ArtifactLimits& limits);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
