#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel {

// One entry of a safetensors header. Offsets are relative to the data region, which starts
// right after the header.
struct SafetensorsTensor {
    std::string name;
    std::string dtype;  // as written: "F64", "F32", "F16", "BF16", "I64", ...
    std::uint64_t element_size = 0;
    std::vector<std::uint64_t> shape;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

struct SafetensorsHeader {
    std::uint64_t data_offset = 0;           // 8 + header length: where the data region starts
    std::vector<SafetensorsTensor> tensors;  // ordered by data offset
};

// The largest header accepted; real headers are a few hundred kilobytes at most.
inline constexpr std::uint64_t max_safetensors_header_bytes = 100000000;
// The most tensors one header may list; real files hold at most a few thousand.
inline constexpr std::uint64_t max_safetensors_tensors = 100000;

// Checks every byte of the header before anything is used: the length field against the
// file, well-formed JSON, each entry's dtype, shape and offsets, byte lengths against shape ×
// dtype size, and that no two tensors overlap. Throws std::invalid_argument
// "<file name>: <problem>" at the first fault; entries are judged in name order. Linear in the
// header's length (before sorting names): more than max_safetensors_tensors entries are
// refused while parsing, "header lists more than 100000 tensors". The tensor values themselves
// are not read.
SafetensorsHeader parseSafetensorsHeader(std::span<const std::uint8_t> file,
                                         std::string_view file_name);

// The weight map of a sharded checkpoint's index file: tensor name to shard file name. Each
// shard name must be a plain file name in the same folder ending in ".safetensors". Throws
// std::invalid_argument "<file name>: <problem>", also for JSON nested deeper than 64 levels or
// holding more than 1000000 values ("index nests deeper than 64 levels", "index holds more than
// 1000000 JSON values"), refused before any of it is built.
std::map<std::string, std::string> parseSafetensorsIndex(std::string_view text,
                                                         std::string_view file_name);

// True for the four floating-point dtypes whose values are widened exactly to double.
bool isWidenableDtype(std::string_view dtype);

// Widens little-endian values of a widenable dtype to double, exactly; out.size() values are
// read from bytes, which must hold at least that many.
void widenValues(std::span<const std::uint8_t> bytes, std::string_view dtype,
                 std::span<double> out);

}  // namespace Nuvexis::Core::Tarvel
