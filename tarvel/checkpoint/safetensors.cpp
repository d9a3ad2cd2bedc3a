#include "tarvel/checkpoint/safetensors.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tarvel/checkpoint/detail/bounded_json.hpp"

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

// What the header says about one top-level entry, gathered while it is parsed and judged once
// the whole header is known to be well-formed. A field given twice in an entry takes its last
// value, as a lookup in the parsed object would.
struct HeaderEntry {
    std::string name;
    bool metadata = false;             // the "__metadata__" entry
    bool object = false;               // the entry's value is an object
    bool metadata_strings = true;      // every value of the metadata object is a string
    std::optional<std::string> dtype;  // absent, or not a string: no dtype
    bool shape_valid = false;
    std::vector<std::uint64_t> shape;
    bool offsets_valid = false;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// Reads the header in one pass without building the JSON value: the entries, the fields of
// each that matter, and nothing of the rest. Everything kept is linear in the header's length,
// and a header listing more tensors than the limit is refused as soon as the count is passed.
class HeaderHandler {
  public:
    explicit HeaderHandler(std::string_view file_name) : file_name_(file_name) {}

    bool top_is_object() const { return top_is_object_; }
    std::vector<HeaderEntry>& entries() { return entries_; }

    bool null() { return arrive(Kind::other); }
    bool boolean(bool) { return arrive(Kind::other); }
    bool number_integer(Json::number_integer_t) { return arrive(Kind::other); }
    bool number_unsigned(Json::number_unsigned_t value) { return arrive(Kind::number, {}, value); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return arrive(Kind::other); }
    bool string(Json::string_t& text) { return arrive(Kind::string, &text); }
    bool binary(Json::binary_t&) { return arrive(Kind::other); }
    bool start_object(std::size_t) {
        arrive(Kind::object);
        ++depth_;
        return true;
    }
    bool start_array(std::size_t) {
        arrive(Kind::array);
        ++depth_;
        return true;
    }
    bool end_object() { return leave(); }
    bool end_array() { return leave(); }
    bool key(Json::string_t& name) {
        if (depth_ == 1 && top_is_object_) {
            HeaderEntry& entry = entries_.emplace_back();
            entry.name = std::move(name);
            entry.metadata = entry.name == "__metadata__";
            if (!entry.metadata && ++tensors_ > max_safetensors_tensors) {
                fail(file_name_, "header lists more than " +
                                     std::to_string(max_safetensors_tensors) + " tensors");
            }
        } else if (depth_ == 2 && in_entry_) {
            field_ = name == "dtype"          ? Field::dtype
                     : name == "shape"        ? Field::shape
                     : name == "data_offsets" ? Field::data_offsets
                                              : Field::other;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const Json::exception&) { return false; }

  private:
    enum class Kind : std::uint8_t { other, number, string, object, array };
    enum class Field : std::uint8_t { other, dtype, shape, data_offsets };

    // A value begins at the current depth; a container's own contents come one level deeper.
    bool arrive(Kind kind, const Json::string_t* text = nullptr, std::uint64_t number = 0) {
        if (depth_ == 0) {
            top_is_object_ = kind == Kind::object;
        } else if (depth_ == 1 && top_is_object_) {
            entries_.back().object = kind == Kind::object;
            in_entry_ = kind == Kind::object;
        } else if (depth_ == 2 && in_entry_) {
            HeaderEntry& entry = entries_.back();
            if (entry.metadata) {
                entry.metadata_strings = entry.metadata_strings && kind == Kind::string;
            } else if (field_ == Field::dtype) {
                entry.dtype =
                    kind == Kind::string ? std::optional<std::string>(*text) : std::nullopt;
            } else if (field_ == Field::shape || field_ == Field::data_offsets) {
                (field_ == Field::shape ? entry.shape_valid : entry.offsets_valid) = false;
                in_list_ = kind == Kind::array;
                list_valid_ = true;
                list_.clear();
            }
        } else if (depth_ == 3 && in_list_) {
            list_valid_ = list_valid_ && kind == Kind::number;
            // data_offsets needs two values, and a third says it has too many.
            if (list_valid_ && (field_ == Field::shape || list_.size() < 3))
                list_.push_back(number);
        }
        return true;
    }

    bool leave() {
        if (depth_ == 3 && in_list_) {
            HeaderEntry& entry = entries_.back();
            if (field_ == Field::shape) {
                entry.shape_valid = list_valid_;
                entry.shape = std::move(list_);
            } else {
                entry.offsets_valid = list_valid_ && list_.size() == 2 && list_[0] <= list_[1];
                if (entry.offsets_valid) {
                    entry.begin = list_[0];
                    entry.end = list_[1];
                }
            }
            list_.clear();
            in_list_ = false;
        } else if (depth_ == 2 && in_entry_) {
            in_entry_ = false;
        }
        --depth_;
        return true;
    }

    std::string_view file_name_;
    std::vector<HeaderEntry> entries_;
    std::uint64_t tensors_ = 0;
    std::uint64_t depth_ = 0;  // containers open around the next value
    bool top_is_object_ = false;
    bool in_entry_ = false;       // the container at depth 2 is the last entry's object
    bool in_list_ = false;        // the container at depth 3 is its shape or data_offsets
    Field field_ = Field::other;  // the entry field whose value comes next
    bool list_valid_ = true;      // every element so far is an unsigned integer
    std::vector<std::uint64_t> list_;
};

// The first entry, in document order, whose name an earlier entry already has.
const HeaderEntry* firstRepeat(const std::vector<HeaderEntry>& entries,
                               std::vector<std::size_t>& by_name) {
    by_name.resize(entries.size());
    std::iota(by_name.begin(), by_name.end(), std::size_t{0});
    // Stable: equal names stay in document order, so each repeat follows its predecessor.
    std::stable_sort(by_name.begin(), by_name.end(), [&](std::size_t a, std::size_t b) {
        return entries[a].name < entries[b].name;
    });
    std::size_t first = entries.size();
    for (std::size_t i = 1; i < by_name.size(); ++i) {
        if (entries[by_name[i]].name == entries[by_name[i - 1]].name) {
            first = std::min(first, by_name[i]);
        }
    }
    return first < entries.size() ? &entries[first] : nullptr;
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
    HeaderHandler handler(file_name);
    if (!Json::sax_parse(text.begin(), text.end(), &handler)) {
        fail(file_name, "header is not well-formed JSON");
    }
    if (!handler.top_is_object()) fail(file_name, "header is not a JSON object");
    std::vector<HeaderEntry>& entries = handler.entries();
    std::vector<std::size_t> by_name;
    if (const HeaderEntry* repeat = firstRepeat(entries, by_name)) {
        fail(file_name, "tensor " + repeat->name + " appears twice in the header");
    }

    SafetensorsHeader result;
    result.data_offset = 8 + header_bytes;
    const std::uint64_t data_bytes = file.size() - result.data_offset;
    result.tensors.reserve(entries.size());
    // Judged in name order, so that of several faults the same one is always reported.
    for (const std::size_t index : by_name) {
        HeaderEntry& entry = entries[index];
        if (entry.metadata) {
            if (!entry.object || !entry.metadata_strings) {
                fail(file_name, "__metadata__ is not an object of strings");
            }
            continue;
        }
        const std::string what = "tensor " + entry.name;
        if (!entry.object) fail(file_name, what + " has an entry that is not an object");
        SafetensorsTensor tensor;
        if (!entry.dtype) fail(file_name, what + " has no dtype");
        tensor.dtype = std::move(*entry.dtype);
        tensor.element_size = elementSizeOf(tensor.dtype);
        if (tensor.element_size == 0) fail(file_name, what + " has unknown dtype " + tensor.dtype);
        if (!entry.shape_valid) fail(file_name, what + " has an invalid shape");
        tensor.shape = std::move(entry.shape);
        if (!entry.offsets_valid) fail(file_name, what + " has invalid data_offsets");
        tensor.begin = entry.begin;
        tensor.end = entry.end;
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
        tensor.name = std::move(entry.name);
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
    const Json index = detail::parseBoundedJson(text, file_name, "index");
    if (index.is_discarded()) fail(file_name, "index is not well-formed JSON");
    if (!index.is_object()) fail(file_name, "index is not a JSON object");
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
