#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// The container's fixed header, shared by the writer and the reader: byte offsets from the start
// of the file, every integer little-endian.
inline constexpr std::size_t artifact_magic_bytes = 8;              // [0, 8): the kind's magic
inline constexpr std::size_t artifact_version_offset = 8;           // u16
inline constexpr std::size_t artifact_endian_offset = 10;           // u16
inline constexpr std::size_t artifact_reserved_offset = 12;         // u32, always 0
inline constexpr std::size_t artifact_manifest_length_offset = 16;  // u64
inline constexpr std::size_t artifact_payload_length_offset = 24;   // u64
inline constexpr std::size_t artifact_checksum_offset = 32;         // u64, hashed as zeros
inline constexpr std::uint64_t artifact_header_bytes = 40;          // the manifest starts here

inline constexpr std::uint16_t artifact_version = 1;
inline constexpr std::uint16_t artifact_endian_marker = 0x4C45;  // "EL" read little-endian

}  // namespace Tarvel
}  // namespace Nuvexis::Core
