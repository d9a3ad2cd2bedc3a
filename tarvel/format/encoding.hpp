#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/core/bytes.hpp"
#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

using ByteBuffer = std::vector<std::uint8_t>;

// Little-endian writers; every multi-byte value is split byte by byte with shifts.
void writeU8(ByteBuffer& buffer, std::uint8_t value);
void writeU16(ByteBuffer& buffer, std::uint16_t value);
void writeU32(ByteBuffer& buffer, std::uint32_t value);
void writeU64(ByteBuffer& buffer, std::uint64_t value);
void writeF64(ByteBuffer& buffer, double value);  // the bit pattern, unchecked
// Throws std::invalid_argument "artifact string exceeds uint32 length".
void writeString(ByteBuffer& buffer, std::string_view text);
void writeBytes(ByteBuffer& buffer, const std::uint8_t* first, std::size_t count);
// Each value as writeU32 / writeF64 would append it, with the buffer grown once for all.
void writeU32s(ByteBuffer& buffer, std::span<const std::uint32_t> values);
void writeF64s(ByteBuffer& buffer, std::span<const double> values);

// A read cursor confined to [next, limit) of a buffer it does not own. Every read past
// `limit` throws std::invalid_argument "truncated transformer artifact"; bytes already taken
// stay consumed.
struct ArtifactReader {
    const ByteBuffer& source;
    std::uint64_t next = 0;
    std::uint64_t limit = 0;
};

std::uint8_t readU8(ArtifactReader& reader);
std::uint16_t readU16(ArtifactReader& reader);
std::uint32_t readU32(ArtifactReader& reader);
std::uint64_t readU64(ArtifactReader& reader);
double readF64(ArtifactReader& reader);
std::string readString(ArtifactReader& reader);

// a + b; throws std::invalid_argument "artifact offset overflows" when it does not fit.
std::uint64_t checkedAdd(std::uint64_t a, std::uint64_t b);
// Product of the extents, 1 for none; a zero extent ends the walk with 0. Throws
// std::invalid_argument "artifact tensor shape overflows".
std::uint64_t checkedElementCount(std::span<const std::uint64_t> extents);

// checksum64 over a whole container file with bytes 32..39 (the stored checksum) taken as 0.
std::uint64_t artifactGlobalChecksum(const ByteBuffer& file);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
