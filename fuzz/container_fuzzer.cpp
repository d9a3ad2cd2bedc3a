// The container readers on arbitrary bytes under small limits. Only std::invalid_argument may
// leave them, always with a documented message; the header and table verdicts must equal those
// of a reference written from the format's rules, and an accepted manifest must be exactly what
// the writer makes of what was read.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/checks.hpp"
#include "fuzz/messages.hpp"

namespace {

using namespace tarvel_fuzz;
using Bytes = std::vector<std::uint8_t>;

constexpr ArtifactLimits limits{8192, 2048, 512, 24, 4, 0, 0, 0};
constexpr std::array<std::string_view, 2> magics{"TARVCTS1", "TARVCTM1"};

std::uint64_t littleEndian(const Bytes& bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    return value;
}

std::uint64_t referenceGlobalChecksum(const Bytes& bytes) {
    std::uint64_t h = 1469598103934665603u;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        h = (h ^ (i >= 32 && i < 40 ? 0u : bytes[i])) * 1099511628211u;
    }
    return h;
}

void sealChecksum(Bytes& bytes) {
    const std::uint64_t sum = referenceGlobalChecksum(bytes);
    for (std::size_t i = 0; i < 8; ++i) bytes[32 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
}

std::string_view referenceHeaderVerdict(const Bytes& file, std::string_view magic) {
    if (file.size() > limits.max_file_bytes) return "artifact exceeds file size limit";
    if (file.size() < 40) return "truncated artifact header";
    for (std::size_t i = 0; i < 8; ++i) {
        if (file[i] != static_cast<std::uint8_t>(magic[i])) return "artifact magic mismatch";
    }
    if (littleEndian(file, 8, 2) != 1) return "unknown artifact version";
    if (littleEndian(file, 10, 2) != 0x4C45) return "artifact endian mismatch";
    if (littleEndian(file, 12, 4) != 0) return "artifact reserved header is nonzero";
    const std::uint64_t manifest = littleEndian(file, 16, 8);
    const std::uint64_t payload = littleEndian(file, 24, 8);
    if (manifest > limits.max_manifest_bytes) return "artifact manifest exceeds limit";
    std::uint64_t inner = 0;
    std::uint64_t total = 0;
    if (__builtin_add_overflow(manifest, payload, &inner) ||
        __builtin_add_overflow(std::uint64_t{40}, inner, &total)) {
        return "artifact offset overflows";
    }
    if (total != file.size()) return "artifact lengths do not match file";
    if (littleEndian(file, 32, 8) != referenceGlobalChecksum(file)) {
        return "artifact global checksum mismatch";
    }
    return {};
}

std::string_view referenceTableVerdict(const std::vector<ArtifactTensorRecord>& tensors,
                                       std::uint64_t payload_bytes) {
    struct Range {
        std::uint64_t offset;
        std::uint64_t end;
    };
    std::vector<Range> ranges;
    for (std::size_t i = 0; i < tensors.size(); ++i) {
        const ArtifactTensorRecord& r = tensors[i];
        if (r.name.empty()) return "artifact tensor has empty name";
        for (std::size_t j = 0; j < i; ++j) {
            if (tensors[j].name == r.name) return "artifact tensor name is duplicated";
        }
        if (r.dtype < 1 || r.dtype > 3) return "artifact has unknown dtype";
        const std::uint64_t size = r.dtype == 1 ? 8 : r.dtype == 2 ? 4 : 1;
        std::uint64_t elements = 1;
        for (const std::uint64_t extent : r.shape) {
            if (extent == 0) {
                elements = 0;
                break;
            }
            if (__builtin_mul_overflow(elements, extent, &elements)) {
                return "artifact tensor shape overflows";
            }
        }
        std::uint64_t bytes = 0;
        if (__builtin_mul_overflow(elements, size, &bytes) || bytes != r.byte_count) {
            return "artifact tensor byte count mismatch";
        }
        if (r.byte_count > limits.max_tensor_bytes) return "artifact tensor exceeds size limit";
        std::uint64_t end = 0;
        if (__builtin_add_overflow(r.offset, r.byte_count, &end))
            return "artifact offset overflows";
        if (end > payload_bytes) return "artifact tensor range exceeds payload";
        ranges.push_back({r.offset, end});
    }
    // Pairwise: a range that sorts after another must start at or after its end.
    for (const Range& a : ranges) {
        for (const Range& b : ranges) {
            if (&a == &b) continue;
            const bool b_after_a = a.offset < b.offset || (a.offset == b.offset && a.end <= b.end);
            if (b_after_a && b.offset < a.end) return "artifact tensor ranges overlap";
        }
    }
    return {};
}

// Reads a manifest from `reader` and judges its table against `payload_bytes`, or against the
// bytes after the manifest when `payload_bytes` is not given.
void checkManifestAndTable(const Bytes& bytes, ArtifactReader& reader,
                           const std::uint64_t* payload_bytes) {
    const std::uint64_t start = reader.next;
    ArtifactManifest manifest;
    try {
        manifest = readArtifactManifest(reader, limits);
    } catch (const std::invalid_argument& e) {
        const std::string_view message = e.what();
        if (message != "truncated transformer artifact" &&
            message != "invalid tokenizer binding flag" &&
            message != "artifact tensor count exceeds limit" &&
            message != "artifact tensor rank exceeds limit") {
            fail("manifest refused with a message of another stage", message);
        }
        return;
    }
    if (reader.next > reader.limit || manifest.tensors.size() > limits.max_tensor_count) {
        fail("manifest read past its limit or its count");
    }
    for (const ArtifactTensorRecord& r : manifest.tensors) {
        if (r.shape.empty() || r.shape.size() > limits.max_tensor_rank) {
            fail("manifest accepted a rank beyond the limit");
        }
    }
    const Bytes written =
        writeManifest(manifest.tensors, manifest.spec_fingerprint, manifest.tokenizer_identity);
    if (!std::equal(written.begin(), written.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(start),
                    bytes.begin() + static_cast<std::ptrdiff_t>(reader.next))) {
        fail("manifest does not write back to the bytes it was read from");
    }

    const std::uint64_t payload =
        payload_bytes != nullptr ? *payload_bytes : bytes.size() - reader.next;
    const std::string_view expected = referenceTableVerdict(manifest.tensors, payload);
    try {
        validateTensorTable(manifest.tensors, payload, limits);
    } catch (const std::invalid_argument& e) {
        if (e.what() != expected) fail("table verdict differs from the reference", e.what());
        return;
    }
    if (!expected.empty()) fail("table accepted what the reference refuses", expected);
}

void checkContainer(const Bytes& file, std::string_view magic) {
    const std::string_view expected = referenceHeaderVerdict(file, magic);
    ArtifactHeader header;
    try {
        header = readArtifactHeader(file, magic, limits);
    } catch (const std::invalid_argument& e) {
        if (e.what() != expected) fail("header verdict differs from the reference", e.what());
        return;
    }
    if (!expected.empty()) fail("header accepted what the reference refuses", expected);
    if (header.manifest_bytes != littleEndian(file, 16, 8) ||
        header.payload_bytes != littleEndian(file, 24, 8) ||
        header.payload_offset != header.manifest_bytes + 40) {
        fail("header fields differ from the bytes");
    }
    ArtifactReader reader{file, 40, header.payload_offset};
    checkManifestAndTable(file, reader, &header.payload_bytes);
}

void checkAll(const Bytes& bytes) {
    for (const std::string_view magic : magics) checkContainer(bytes, magic);
    // With the checksum field made to match, the checks behind it are reached.
    if (bytes.size() >= 40 && bytes.size() <= limits.max_file_bytes) {
        Bytes sealed = bytes;
        sealChecksum(sealed);
        for (const std::string_view magic : magics) checkContainer(sealed, magic);
    }
    // The bytes as a bare manifest followed by its payload.
    ArtifactReader reader{bytes, 0, bytes.size()};
    checkManifestAndTable(bytes, reader, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes bytes(data, data + size);
    try {
        checkAll(bytes);
    } catch (const std::exception& e) {
        fail("a reader threw something other than std::invalid_argument", e.what());
    }
    return 0;
}
