#include "tarvel/format/container.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "tarvel/format/artifact_error.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

[[noreturn]] void fail(ArtifactErrorKind kind, const char* message) {
    throw ArtifactError(kind, message);
}

std::uint64_t elementSize(std::uint8_t dtype) {
    switch (static_cast<ArtifactDType>(dtype)) {
        case ArtifactDType::Float64:
            return 8;
        case ArtifactDType::UInt32:
            return 4;
        case ArtifactDType::Bytes:
            return 1;
    }
    fail(ArtifactErrorKind::corrupt_bytes, "artifact has unknown dtype");
}

// Half-open [offset, end) of one tensor within the payload.
struct PayloadRange {
    std::uint64_t offset = 0;
    std::uint64_t end = 0;
};

// Position of the first record whose name an earlier record already carries, or the record
// count when no name repeats. Sorting positions by name, ties by position, puts every repeat
// right after its predecessor: n log n name comparisons instead of one per pair of records.
std::size_t firstDuplicateName(const std::vector<ArtifactTensorRecord>& tensors) {
    std::vector<std::size_t> order(tensors.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int by_name = tensors[a].name.compare(tensors[b].name);
        return by_name != 0 ? by_name < 0 : a < b;
    });
    std::size_t first = tensors.size();
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (tensors[order[k]].name == tensors[order[k - 1]].name) {
            first = std::min(first, order[k]);
        }
    }
    return first;
}

}  // namespace

ByteBuffer writeManifest(const std::vector<ArtifactTensorRecord>& tensors,
                         std::uint64_t spec_fingerprint,
                         const std::optional<std::string>& tokenizer_identity) {
    if (tensors.size() > std::numeric_limits<std::uint32_t>::max()) {
        fail(ArtifactErrorKind::limit_exceeded, "artifact tensor count exceeds limit");
    }
    ByteBuffer manifest;
    writeU64(manifest, spec_fingerprint);
    writeU8(manifest, tokenizer_identity ? 1 : 0);
    if (tokenizer_identity) writeString(manifest, *tokenizer_identity);
    writeU32(manifest, static_cast<std::uint32_t>(tensors.size()));
    for (const ArtifactTensorRecord& record : tensors) {
        if (record.shape.size() > std::numeric_limits<std::uint32_t>::max()) {
            fail(ArtifactErrorKind::limit_exceeded, "artifact tensor rank exceeds limit");
        }
        writeString(manifest, record.name);
        writeU8(manifest, record.dtype);
        writeU32(manifest, static_cast<std::uint32_t>(record.shape.size()));
        for (const std::uint64_t extent : record.shape) writeU64(manifest, extent);
        writeU64(manifest, record.offset);
        writeU64(manifest, record.byte_count);
        writeU64(manifest, record.checksum);
    }
    return manifest;
}

namespace detail {

ByteBuffer beginArtifact(std::string_view magic, const ByteBuffer& manifest,
                         std::uint64_t payload_bytes) {
    if (magic.size() != artifact_magic_bytes)
        fail(ArtifactErrorKind::corrupt_bytes, "artifact magic mismatch");
    ByteBuffer file;
    file.reserve(static_cast<std::size_t>(artifact_header_bytes + manifest.size() + payload_bytes));
    for (const char c : magic) file.push_back(static_cast<std::uint8_t>(c));
    writeU16(file, artifact_version);
    writeU16(file, artifact_endian_marker);
    writeU32(file, 0);
    writeU64(file, manifest.size());
    writeU64(file, 0);  // payload length, patched by endArtifact
    writeU64(file, 0);  // checksum placeholder, patched by endArtifact
    writeBytes(file, manifest.data(), manifest.size());
    return file;
}

void checksumRecords(const ByteBuffer& file, std::size_t payload_start,
                     std::vector<ArtifactTensorRecord>& records) {
    std::vector<ByteRange> ranges(records.size());
    for (std::size_t j = 0; j < records.size(); ++j) {
        ranges[j] = {file.data() + payload_start + records[j].offset,
                     static_cast<std::size_t>(records[j].byte_count)};
    }
    std::vector<std::uint64_t> checksums(records.size());
    checksum64Each(ranges, checksums);
    for (std::size_t j = 0; j < records.size(); ++j) records[j].checksum = checksums[j];
}

void endArtifact(ByteBuffer& file, const ByteBuffer& manifest) {
    std::copy(manifest.begin(), manifest.end(),
              file.begin() + static_cast<std::ptrdiff_t>(artifact_header_bytes));
    const std::uint64_t payload = file.size() - artifact_header_bytes - manifest.size();
    storeLittleEndian(file.data() + artifact_payload_length_offset, payload, 8);
    storeLittleEndian(file.data() + artifact_checksum_offset, artifactGlobalChecksum(file), 8);
}

}  // namespace detail

ByteBuffer writeArtifact(std::string_view magic, const ByteBuffer& manifest,
                         const ByteBuffer& payload) {
    ByteBuffer file = detail::beginArtifact(magic, manifest, payload.size());
    writeBytes(file, payload.data(), payload.size());
    detail::endArtifact(file, manifest);
    return file;
}

ArtifactHeader readArtifactHeader(const ByteBuffer& file, std::string_view expected_magic,
                                  const ArtifactLimits& limits) {
    const std::uint64_t file_bytes = file.size();
    if (file_bytes > limits.max_file_bytes)
        fail(ArtifactErrorKind::limit_exceeded, "artifact exceeds file size limit");
    if (file_bytes < artifact_header_bytes)
        fail(ArtifactErrorKind::corrupt_bytes, "truncated artifact header");
    if (expected_magic.size() != artifact_magic_bytes ||
        !std::equal(expected_magic.begin(), expected_magic.end(), file.begin(),
                    [](char expected, std::uint8_t actual) {
                        return static_cast<std::uint8_t>(expected) == actual;
                    })) {
        fail(ArtifactErrorKind::corrupt_bytes, "artifact magic mismatch");
    }
    ArtifactReader reader{file, artifact_version_offset, artifact_header_bytes};
    if (readU16(reader) != artifact_version)
        fail(ArtifactErrorKind::unsupported_version, "unknown artifact version");
    if (readU16(reader) != artifact_endian_marker)
        fail(ArtifactErrorKind::unsupported_version, "artifact endian mismatch");
    if (readU32(reader) != 0)
        fail(ArtifactErrorKind::corrupt_bytes, "artifact reserved header is nonzero");
    ArtifactHeader header;
    header.manifest_bytes = readU64(reader);
    header.payload_bytes = readU64(reader);
    const std::uint64_t stored_checksum = readU64(reader);
    if (header.manifest_bytes > limits.max_manifest_bytes)
        fail(ArtifactErrorKind::limit_exceeded, "artifact manifest exceeds limit");
    const std::uint64_t total =
        checkedAdd(artifact_header_bytes, checkedAdd(header.manifest_bytes, header.payload_bytes));
    if (total != file_bytes)
        fail(ArtifactErrorKind::corrupt_bytes, "artifact lengths do not match file");
    if (stored_checksum != artifactGlobalChecksum(file))
        fail(ArtifactErrorKind::corrupt_bytes, "artifact global checksum mismatch");
    header.payload_offset = header.manifest_bytes + artifact_header_bytes;
    return header;
}

ArtifactManifest readArtifactManifest(ArtifactReader& reader, const ArtifactLimits& limits) {
    ArtifactManifest manifest;
    manifest.spec_fingerprint = readU64(reader);
    const std::uint8_t flag = readU8(reader);
    if (flag > 1) fail(ArtifactErrorKind::corrupt_bytes, "invalid tokenizer binding flag");
    if (flag == 1) manifest.tokenizer_identity = readString(reader);
    const std::uint32_t count = readU32(reader);
    if (count > limits.max_tensor_count)
        fail(ArtifactErrorKind::limit_exceeded, "artifact tensor count exceeds limit");
    // No reserve from the count: the table grows only as records are really present.
    for (std::uint32_t i = 0; i < count; ++i) {
        ArtifactTensorRecord record;
        record.name = readString(reader);
        record.dtype = readU8(reader);
        const std::uint32_t rank = readU32(reader);
        if (rank == 0 || rank > limits.max_tensor_rank)
            fail(ArtifactErrorKind::limit_exceeded, "artifact tensor rank exceeds limit");
        for (std::uint32_t d = 0; d < rank; ++d) record.shape.push_back(readU64(reader));
        record.offset = readU64(reader);
        record.byte_count = readU64(reader);
        record.checksum = readU64(reader);
        manifest.tensors.push_back(std::move(record));
    }
    return manifest;
}

void validateTensorTable(const std::vector<ArtifactTensorRecord>& tensors,
                         std::uint64_t payload_bytes, const ArtifactLimits& limits) {
    // Each record's checks still run in record order; the duplicate is reported at its place.
    const std::size_t duplicate = firstDuplicateName(tensors);
    std::vector<PayloadRange> ranges;
    ranges.reserve(tensors.size());
    for (std::size_t i = 0; i < tensors.size(); ++i) {
        const ArtifactTensorRecord& record = tensors[i];
        if (record.name.empty())
            fail(ArtifactErrorKind::corrupt_bytes, "artifact tensor has empty name");
        if (i == duplicate)
            fail(ArtifactErrorKind::corrupt_bytes, "artifact tensor name is duplicated");
        const std::uint64_t element_size = elementSize(record.dtype);
        const std::uint64_t elements = checkedElementCount(record.shape);
        if (elements > std::numeric_limits<std::uint64_t>::max() / element_size ||
            elements * element_size != record.byte_count) {
            fail(ArtifactErrorKind::corrupt_bytes, "artifact tensor byte count mismatch");
        }
        if (record.byte_count > limits.max_tensor_bytes)
            fail(ArtifactErrorKind::limit_exceeded, "artifact tensor exceeds size limit");
        const std::uint64_t end = checkedAdd(record.offset, record.byte_count);
        if (end > payload_bytes)
            fail(ArtifactErrorKind::corrupt_bytes, "artifact tensor range exceeds payload");
        ranges.push_back({record.offset, end});
    }
    std::sort(ranges.begin(), ranges.end(), [](const PayloadRange& a, const PayloadRange& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.end < b.end;
    });
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].offset < ranges[i - 1].end)
            fail(ArtifactErrorKind::corrupt_bytes, "artifact tensor ranges overlap");
    }
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
