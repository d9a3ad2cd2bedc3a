#include "tarvel/checkpoint/safetensors.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace Nuvexis::Core::Tarvel {
namespace {

using Json = nlohmann::json;

[[noreturn]] void fail(std::string_view file_name, const std::string& problem) {
    throw std::invalid_argument(std::string(file_name) + ": " + problem);
}

std::uint64_t elementSizeOf(std::string_view dtype) {
    static const std::pair<std::string_view, std::uint64_t> sizes[] = {
        {"F64", 8}, {"F32", 4}, {"F16", 2},  {"BF16", 2},    {"I64", 8},
        {"U64", 8}, {"I32", 4}, {"U32", 4},  {"I16", 2},     {"U16", 2},
        {"I8", 1},  {"U8", 1},  {"BOOL", 1}, {"F8_E4M3", 1}, {"F8_E5M2", 1}};
    for (const auto& [name, size] : sizes) {
        if (name == dtype) return size;
    }
    return 0;
}

std::uint64_t readLe64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Parses JSON with exceptions off and remembers the keys of the top-level object, so that a
// name given twice is refused rather than silently taking the last value.
Json parseObject(std::string_view text, std::string_view file_name, const char* what,
                 std::string* duplicate) {
    std::set<std::string> seen;
    Json::parser_callback_t callback = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (duplicate != nullptr && depth == 1 && event == Json::parse_event_t::key &&
            parsed.is_string() && duplicate->empty()) {
            if (!seen.insert(parsed.get<std::string>()).second) {
                *duplicate = parsed.get<std::string>();
            }
        }
        return true;
    };
    Json value = Json::parse(text.begin(), text.end(), callback, false);
    if (value.is_discarded()) fail(file_name, std::string(what) + " is not well-formed JSON");
    if (!value.is_object()) fail(file_name, std::string(what) + " is not a JSON object");
    return value;
}

bool readOffsets(const Json& entry, std::uint64_t& begin, std::uint64_t& end) {
    const auto it = entry.find("data_offsets");
    if (it == entry.end() || !it->is_array() || it->size() != 2) return false;
    if (!(*it)[0].is_number_unsigned() || !(*it)[1].is_number_unsigned()) return false;
    begin = (*it)[0].get<std::uint64_t>();
    end = (*it)[1].get<std::uint64_t>();
    return begin <= end;
}

bool readShape(const Json& entry, std::vector<std::uint64_t>& shape) {
    const auto it = entry.find("shape");
    if (it == entry.end() || !it->is_array()) return false;
    for (const Json& extent : *it) {
        if (!extent.is_number_unsigned()) return false;
        shape.push_back(extent.get<std::uint64_t>());
    }
    return true;
}

}  // namespace

SafetensorsHeader parseSafetensorsHeader(std::span<const std::uint8_t> file,
                                         std::string_view file_name) {
    if (file.size() < 8) fail(file_name, "file is shorter than the 8-byte header length");
    const std::uint64_t header_bytes = readLe64(file.data());
    if (header_bytes > max_safetensors_header_bytes) {
        fail(file_name, "header length " + std::to_string(header_bytes) + " exceeds the limit of " +
                            std::to_string(max_safetensors_header_bytes) + " bytes");
    }
    if (header_bytes > file.size() - 8) {
        fail(file_name, "header length " + std::to_string(header_bytes) + " exceeds the file");
    }
    const std::string_view text(reinterpret_cast<const char*>(file.data() + 8),
                                static_cast<std::size_t>(header_bytes));
    std::string duplicate;
    const Json header = parseObject(text, file_name, "header", &duplicate);
    if (!duplicate.empty()) fail(file_name, "tensor " + duplicate + " appears twice in the header");

    SafetensorsHeader result;
    result.data_offset = 8 + header_bytes;
    const std::uint64_t data_bytes = file.size() - result.data_offset;
    for (const auto& [name, entry] : header.items()) {
        if (name == "__metadata__") {
            bool strings = entry.is_object();
            if (strings) {
                for (const auto& [key, value] : entry.items())
                    strings = strings && value.is_string();
            }
            if (!strings) fail(file_name, "__metadata__ is not an object of strings");
            continue;
        }
        const std::string what = "tensor " + name;
        if (!entry.is_object()) fail(file_name, what + " has an entry that is not an object");
        SafetensorsTensor tensor;
        tensor.name = name;
        const auto dtype = entry.find("dtype");
        if (dtype == entry.end() || !dtype->is_string()) fail(file_name, what + " has no dtype");
        tensor.dtype = dtype->get<std::string>();
        tensor.element_size = elementSizeOf(tensor.dtype);
        if (tensor.element_size == 0) fail(file_name, what + " has unknown dtype " + tensor.dtype);
        if (!readShape(entry, tensor.shape)) fail(file_name, what + " has an invalid shape");
        if (!readOffsets(entry, tensor.begin, tensor.end)) {
            fail(file_name, what + " has invalid data_offsets");
        }
        if (tensor.end > data_bytes) fail(file_name, what + " has data offsets outside the file");
        std::uint64_t bytes = tensor.element_size;
        for (const std::uint64_t extent : tensor.shape) {
            if (extent != 0 && bytes > std::numeric_limits<std::uint64_t>::max() / extent) {
                fail(file_name, what + " has a shape whose size overflows");
            }
            bytes *= extent;
        }
        if (tensor.end - tensor.begin != bytes) {
            fail(file_name, what + " holds " + std::to_string(tensor.end - tensor.begin) +
                                " bytes but its shape and dtype need " + std::to_string(bytes));
        }
        result.tensors.push_back(std::move(tensor));
    }
    std::sort(result.tensors.begin(), result.tensors.end(),
              [](const SafetensorsTensor& a, const SafetensorsTensor& b) {
                  return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
              });
    // Empty tensors take no bytes and overlap nothing; the furthest end seen so far catches an
    // overlap hidden behind one.
    const SafetensorsTensor* reach = nullptr;
    for (const SafetensorsTensor& tensor : result.tensors) {
        if (tensor.begin == tensor.end) continue;
        if (reach != nullptr && tensor.begin < reach->end) {
            fail(file_name, "tensors " + reach->name + " and " + tensor.name + " overlap");
        }
        if (reach == nullptr || tensor.end > reach->end) reach = &tensor;
    }
    return result;
}

std::map<std::string, std::string> parseSafetensorsIndex(std::string_view text,
                                                         std::string_view file_name) {
    const Json index = parseObject(text, file_name, "index", nullptr);
    const auto map = index.find("weight_map");
    if (map == index.end() || !map->is_object()) {
        fail(file_name, "weight_map is missing or not an object");
    }
    std::map<std::string, std::string> result;
    for (const auto& [name, shard] : map->items()) {
        const std::string suffix = ".safetensors";
        bool plain = shard.is_string();
        std::string file;
        if (plain) {
            file = shard.get<std::string>();
            plain = file.size() > suffix.size() &&
                    file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                    file.find('/') == std::string::npos && file.find('\\') == std::string::npos &&
                    file.find('\0') == std::string::npos && file[0] != '.';
        }
        if (!plain) {
            fail(file_name, "weight_map entry " + name +
                                " does not name a .safetensors file in the checkpoint folder");
        }
        result.emplace(name, std::move(file));
    }
    if (result.empty()) fail(file_name, "weight_map is empty");
    return result;
}

bool isWidenableDtype(std::string_view dtype) {
    return dtype == "F64" || dtype == "F32" || dtype == "F16" || dtype == "BF16";
}

void widenValues(std::span<const std::uint8_t> bytes, std::string_view dtype,
                 std::span<double> out) {
    const std::uint8_t* p = bytes.data();
    if (dtype == "F64") {
        for (double& value : out) {
            const std::uint64_t bits = readLe64(p);
            std::memcpy(&value, &bits, sizeof value);
            p += 8;
        }
    } else if (dtype == "F32") {
        for (double& value : out) {
            const std::uint32_t bits =
                static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            value = static_cast<double>(f);
            p += 4;
        }
    } else if (dtype == "BF16") {
        // A bfloat16 is the upper half of a float32.
        for (double& value : out) {
            const std::uint32_t bits =
                (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8) << 16;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            value = static_cast<double>(f);
            p += 2;
        }
    } else if (dtype == "F16") {
        for (double& value : out) {
            const unsigned bits = static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
            const bool negative = (bits & 0x8000u) != 0;
            const int exponent = static_cast<int>((bits >> 10) & 0x1fu);
            const unsigned mantissa = bits & 0x3ffu;
            double magnitude;
            if (exponent == 0x1f) {
                magnitude = mantissa == 0 ? std::numeric_limits<double>::infinity()
                                          : std::numeric_limits<double>::quiet_NaN();
            } else if (exponent == 0) {
                magnitude = std::ldexp(static_cast<double>(mantissa), -24);  // subnormal
            } else {
                magnitude = std::ldexp(static_cast<double>(mantissa | 0x400u), exponent - 25);
            }
            value = negative ? -magnitude : magnitude;
            p += 2;
        }
    } else {
        throw std::invalid_argument("dtype " + std::string(dtype) + " cannot be widened");
    }
}

}  // namespace Nuvexis::Core::Tarvel
