#include "tarvel/format/encoding.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <stdexcept>

#include "tarvel/core/detail/checked_arithmetic.hpp"
#include "tarvel/format/artifact_error.hpp"
#include "tarvel/format/layout.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace {

using detail::checksum_initial;
using detail::checksumStep;

[[noreturn]] void throwTruncated() {
    throw ArtifactError(ArtifactErrorKind::corrupt_bytes, "truncated transformer artifact");
}

// Appends the low `width` bytes of `value`, least significant first.
void writeLittleEndian(ByteBuffer& buffer, std::uint64_t value, std::size_t width) {
    const std::size_t start = buffer.size();
    buffer.resize(start + width);
    storeLittleEndian(buffer.data() + start, value, width);
}

// The end a cursor may really read to: its limit, and never past the buffer even when a
// caller sets the limit too far.
std::uint64_t readableEnd(const ArtifactReader& reader) {
    const std::uint64_t size = reader.source.size();
    return reader.limit < size ? reader.limit : size;
}

// A short read takes the bytes that are there and stops exactly at the limit.
std::uint64_t readLittleEndian(ArtifactReader& reader, std::size_t width) {
    const std::uint64_t end = readableEnd(reader);
    const std::uint64_t left = end > reader.next ? end - reader.next : 0;
    if (left < width) {
        reader.next += left;
        throwTruncated();
    }
    const std::uint64_t value =
        loadLittleEndian(reader.source.data() + static_cast<std::size_t>(reader.next), width);
    reader.next += width;
    return value;
}

}  // namespace

void writeU8(ByteBuffer& buffer, std::uint8_t value) {
    buffer.push_back(value);
}
void writeU16(ByteBuffer& buffer, std::uint16_t value) {
    writeLittleEndian(buffer, value, 2);
}
void writeU32(ByteBuffer& buffer, std::uint32_t value) {
    writeLittleEndian(buffer, value, 4);
}
void writeU64(ByteBuffer& buffer, std::uint64_t value) {
    writeLittleEndian(buffer, value, 8);
}

void writeF64(ByteBuffer& buffer, double value) {
    writeU64(buffer, std::bit_cast<std::uint64_t>(value));
}

void writeString(ByteBuffer& buffer, std::string_view text) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw ArtifactError(ArtifactErrorKind::limit_exceeded,
                            "artifact string exceeds uint32 length");
    }
    writeU32(buffer, static_cast<std::uint32_t>(text.size()));
    for (const char c : text) buffer.push_back(static_cast<std::uint8_t>(c));
}

void writeBytes(ByteBuffer& buffer, const std::uint8_t* first, std::size_t count) {
    if (count == 0) return;
    buffer.insert(buffer.end(), first, first + count);
}

void writeU32s(ByteBuffer& buffer, std::span<const std::uint32_t> values) {
    const std::size_t start = buffer.size();
    buffer.resize(start + 4 * values.size());
    std::uint8_t* out = buffer.data() + start;
    for (const std::uint32_t value : values) {
        storeLittleEndian(out, value, 4);
        out += 4;
    }
}

void writeF64s(ByteBuffer& buffer, std::span<const double> values) {
    const std::size_t start = buffer.size();
    buffer.resize(start + 8 * values.size());
    std::uint8_t* out = buffer.data() + start;
    for (const double value : values) {
        storeLittleEndian(out, std::bit_cast<std::uint64_t>(value), 8);
        out += 8;
    }
}

std::uint8_t readU8(ArtifactReader& reader) {
    return static_cast<std::uint8_t>(readLittleEndian(reader, 1));
}
std::uint16_t readU16(ArtifactReader& reader) {
    return static_cast<std::uint16_t>(readLittleEndian(reader, 2));
}
std::uint32_t readU32(ArtifactReader& reader) {
    return static_cast<std::uint32_t>(readLittleEndian(reader, 4));
}
std::uint64_t readU64(ArtifactReader& reader) {
    return readLittleEndian(reader, 8);
}

double readF64(ArtifactReader& reader) {
    return std::bit_cast<double>(readU64(reader));
}

std::string readString(ArtifactReader& reader) {
    const std::uint32_t length = readU32(reader);
    // Judge the length before taking any text byte; a cursor past its end has nothing left.
    const std::uint64_t end = readableEnd(reader);
    const std::uint64_t left = end > reader.next ? end - reader.next : 0;
    if (length > left) throwTruncated();
    const auto first = static_cast<std::size_t>(reader.next);
    std::string text(reader.source.begin() + static_cast<std::ptrdiff_t>(first),
                     reader.source.begin() + static_cast<std::ptrdiff_t>(first + length));
    reader.next += length;
    return text;
}

std::uint64_t checkedAdd(std::uint64_t a, std::uint64_t b) {
    const std::optional<std::uint64_t> sum = detail::checkedSum(a, b);
    if (!sum) throw ArtifactError(ArtifactErrorKind::corrupt_bytes, "artifact offset overflows");
    return *sum;
}

std::uint64_t checkedElementCount(std::span<const std::uint64_t> extents) {
    std::uint64_t product = 1;
    for (const std::uint64_t extent : extents) {
        // A zero extent settles the product; later extents cannot overflow it.
        if (extent == 0) return 0;
        const std::optional<std::uint64_t> next = detail::checkedProduct(product, extent);
        if (!next)
            throw ArtifactError(ArtifactErrorKind::corrupt_bytes,
                                "artifact tensor shape overflows");
        product = *next;
    }
    return product;
}

std::uint64_t artifactGlobalChecksum(const ByteBuffer& file) {
    // The stored checksum hashes as zeros, so writing and verifying see the same input.
    std::uint64_t h = checksum_initial;
    for (std::size_t i = 0; i < file.size(); ++i) {
        const bool stored =
            i >= artifact_checksum_offset && i < artifact_checksum_offset + sizeof(std::uint64_t);
        h = checksumStep(h, stored ? std::uint8_t{0} : file[i]);
    }
    return h;
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
