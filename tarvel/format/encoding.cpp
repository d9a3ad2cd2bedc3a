#include "tarvel/format/encoding.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

namespace Nuvexis::Core::Tarvel {

namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t checksum_initial = 0x14650fb0739d0383u;
constexpr std::uint64_t checksum_multiplier = 0x100000001b3u;
constexpr std::size_t stored_checksum_first = 32;
constexpr std::size_t stored_checksum_end = 40;

[[noreturn]] void throwTruncated() {
    throw std::invalid_argument("truncated transformer artifact");
}

// Appends the low `width` bytes of `value`, least significant first.
void writeLittleEndian(ByteBuffer& buffer, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        buffer.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// The end a cursor may really read to: its limit, and never past the buffer even when a
// caller sets the limit too far.
std::uint64_t readableEnd(const ArtifactReader& reader) {
    const std::uint64_t size = reader.source.size();
    return reader.limit < size ? reader.limit : size;
}

// Checks the end before every single byte so that a short read stops exactly at the limit.
std::uint64_t readLittleEndian(ArtifactReader& reader, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        if (reader.next >= readableEnd(reader)) throwTruncated();
        const std::uint64_t byte = reader.source[static_cast<std::size_t>(reader.next)];
        ++reader.next;
        value |= byte << (8 * i);
    }
    return value;
}

std::uint64_t checksumStep(std::uint64_t h, std::uint8_t byte) {
    return (h ^ byte) * checksum_multiplier;
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
        throw std::invalid_argument("artifact string exceeds uint32 length");
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
        for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
        out += 4;
    }
}

void writeF64s(ByteBuffer& buffer, std::span<const double> values) {
    const std::size_t start = buffer.size();
    buffer.resize(start + 8 * values.size());
    std::uint8_t* out = buffer.data() + start;
    for (const double value : values) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
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
    if (b > max_u64 - a) throw std::invalid_argument("artifact offset overflows");
    return a + b;
}

std::uint64_t checkedElementCount(std::span<const std::uint64_t> extents) {
    std::uint64_t product = 1;
    for (const std::uint64_t extent : extents) {
        // A zero extent settles the product; later extents cannot overflow it.
        if (extent == 0) return 0;
        if (extent > max_u64 / product) {
            throw std::invalid_argument("artifact tensor shape overflows");
        }
        product *= extent;
    }
    return product;
}

std::uint64_t checksum64(const std::uint8_t* first, std::size_t count) {
    std::uint64_t h = checksum_initial;
    for (std::size_t i = 0; i < count; ++i) h = checksumStep(h, first[i]);
    return h;
}

void checksum64Each(std::span<const ByteRange> ranges, std::span<std::uint64_t> results) {
    // Longest first, so that each group of four shares as long a common length as it can.
    std::vector<std::size_t> order(ranges.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return ranges[a].count > ranges[b].count;
    });
    constexpr std::size_t lanes = 4;
    for (std::size_t k = 0; k < order.size(); k += lanes) {
        const std::size_t group = std::min(lanes, order.size() - k);
        ByteRange range[lanes];
        std::uint64_t h[lanes];
        for (std::size_t c = 0; c < lanes; ++c) {
            range[c] = c < group ? ranges[order[k + c]] : ByteRange{};
            h[c] = checksum_initial;
        }
        // The shortest of the group (the last, or an empty filler) bounds the shared stretch.
        const std::size_t common = range[lanes - 1].count;
        for (std::size_t i = 0; i < common; ++i) {
            for (std::size_t c = 0; c < lanes; ++c) h[c] = checksumStep(h[c], range[c].first[i]);
        }
        for (std::size_t c = 0; c < group; ++c) {
            for (std::size_t i = common; i < range[c].count; ++i) {
                h[c] = checksumStep(h[c], range[c].first[i]);
            }
            results[order[k + c]] = h[c];
        }
    }
}

std::uint64_t artifactGlobalChecksum(const ByteBuffer& file) {
    // The stored checksum hashes as zeros, so writing and verifying see the same input.
    std::uint64_t h = checksum_initial;
    for (std::size_t i = 0; i < file.size(); ++i) {
        const bool stored = i >= stored_checksum_first && i < stored_checksum_end;
        h = checksumStep(h, stored ? std::uint8_t{0} : file[i]);
    }
    return h;
}

}  // namespace Nuvexis::Core::Tarvel
