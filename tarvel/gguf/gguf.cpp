#include "tarvel/gguf/gguf.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace Nuvexis::Core::Tarvel::gguf {

namespace {

constexpr std::uint32_t highest_value_type = 12;
constexpr std::uint64_t default_alignment = 32;
// The fewest bytes a metadata pair (key length, a one-byte key, type, a one-byte value) and a
// tensor info (name length, a one-byte name, one dimension, type, offset) can take.
constexpr std::uint64_t min_metadata_pair_bytes = 8 + 1 + 4 + 1;
constexpr std::uint64_t min_tensor_info_bytes = 8 + 1 + 4 + 8 + 4 + 8;

[[noreturn]] void fail(const std::string& message) {
    throw std::invalid_argument(message);
}

std::string number(std::uint64_t n) {
    return std::to_string(n);
}

// A name from the file, quoted for a message; control bytes are written as \xNN so the
// message stays on one line.
std::string quoted(std::string_view name) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "'";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool validUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t smallest = 0;
        if ((lead & 0xe0) == 0xc0) {
            length = 2;
            code = lead & 0x1fu;
            smallest = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3;
            code = lead & 0x0fu;
            smallest = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4;
            code = lead & 0x07u;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3fu);
        }
        if (code < smallest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

// Little-endian reads that refuse to pass the end, naming the part being read.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    void setPlace(std::string place) { place_ = std::move(place); }
    std::uint64_t left() const { return bytes_.size() - position_; }
    std::uint64_t position() const { return position_; }
    [[noreturn]] void truncated() const { fail("truncated " + place_); }

    std::uint64_t unsignedLe(std::size_t size) {
        if (size > left()) truncated();
        std::uint64_t value = 0;
        for (std::size_t k = 0; k < size; ++k) {
            value |= std::uint64_t{bytes_[position_ + k]} << (8 * k);
        }
        position_ += size;
        return value;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(unsignedLe(4)); }
    std::uint64_t u64() { return unsignedLe(8); }

    std::string text(std::uint64_t size) {
        if (size > left()) truncated();
        const auto* begin = reinterpret_cast<const char*>(bytes_.data() + position_);
        position_ += static_cast<std::size_t>(size);
        return std::string(begin, static_cast<std::size_t>(size));
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    std::string place_;
};

std::uint64_t minimumValueBytes(ValueType type) {
    switch (type) {
        case ValueType::uint8:
        case ValueType::int8:
        case ValueType::boolean:
            return 1;
        case ValueType::uint16:
        case ValueType::int16:
            return 2;
        case ValueType::uint32:
        case ValueType::int32:
        case ValueType::float32:
            return 4;
        case ValueType::uint64:
        case ValueType::int64:
        case ValueType::float64:
        case ValueType::string:  // its length
            return 8;
        case ValueType::array:  // its element type and count
            return 12;
    }
    return 1;
}

// Reads one metadata value; `subject` names its key for messages.
class ValueReader {
  public:
    ValueReader(Reader& in, const Limits& limits) : in_(in), limits_(limits) {}

    Value read(ValueType type, std::uint32_t depth, const std::string& subject) {
        Value value;
        value.type = type;
        switch (type) {
            case ValueType::uint8:
                value.data = in_.unsignedLe(1);
                break;
            case ValueType::uint16:
                value.data = in_.unsignedLe(2);
                break;
            case ValueType::uint32:
                value.data = in_.unsignedLe(4);
                break;
            case ValueType::uint64:
                value.data = in_.unsignedLe(8);
                break;
            case ValueType::int8:
                value.data = std::int64_t{static_cast<std::int8_t>(in_.unsignedLe(1))};
                break;
            case ValueType::int16:
                value.data = std::int64_t{static_cast<std::int16_t>(in_.unsignedLe(2))};
                break;
            case ValueType::int32:
                value.data = std::int64_t{static_cast<std::int32_t>(in_.unsignedLe(4))};
                break;
            case ValueType::int64:
                value.data = static_cast<std::int64_t>(in_.unsignedLe(8));
                break;
            case ValueType::float32:
                value.data = static_cast<double>(std::bit_cast<float>(in_.u32()));
                break;
            case ValueType::float64:
                value.data = std::bit_cast<double>(in_.u64());
                break;
            case ValueType::boolean: {
                const std::uint64_t byte = in_.unsignedLe(1);
                if (byte > 1) {
                    fail(subject + ": boolean value " + number(byte) + " is neither 0 nor 1");
                }
                value.data = byte == 1;
                break;
            }
            case ValueType::string: {
                const std::uint64_t size = in_.u64();
                if (size > limits_.max_string_bytes) {
                    fail(subject + ": string of " + number(size) + " bytes, at most " +
                         number(limits_.max_string_bytes));
                }
                value.data = in_.text(size);
                break;
            }
            case ValueType::array:
                value = readArray(depth, subject);
                break;
        }
        return value;
    }

  private:
    Value readArray(std::uint32_t depth, const std::string& subject) {
        if (depth >= limits_.max_array_depth) {
            fail(subject + ": arrays nest deeper than " + number(limits_.max_array_depth) +
                 " levels");
        }
        const std::uint32_t code = in_.u32();
        if (code > highest_value_type) {
            fail(subject + ": array of unknown value type " + number(code));
        }
        const auto element_type = static_cast<ValueType>(code);
        const std::uint64_t count = in_.u64();
        if (count > limits_.max_array_elements) {
            fail(subject + ": array of " + number(count) + " elements, at most " +
                 number(limits_.max_array_elements));
        }
        if (count > limits_.max_metadata_values - values_) {
            fail("metadata holds more than " + number(limits_.max_metadata_values) +
                 " array elements");
        }
        // Checked against the bytes left before the elements are allocated.
        if (count > in_.left() / minimumValueBytes(element_type)) in_.truncated();
        values_ += count;
        std::vector<Value> elements;
        elements.reserve(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count; ++i) {
            elements.push_back(read(element_type, depth + 1, subject));
        }
        Value value;
        value.type = ValueType::array;
        value.element_type = element_type;
        value.data = std::move(elements);
        return value;
    }

    Reader& in_;
    const Limits& limits_;
    std::uint64_t values_ = 0;  // array elements read so far, at every depth
};

// Every type code the format has had, the accepted ones with their blocks. Codes past the end
// of the table are unknown.
struct TypeEntry {
    const char* name;
    bool supported;
    std::uint64_t block_values;
    std::uint64_t block_bytes;
};

constexpr std::array<TypeEntry, 40> type_table{{
    {"F32", true, 1, 4},         {"F16", true, 1, 2},         {"Q4_0", true, 32, 18},
    {"Q4_1", true, 32, 20},      {"Q4_2", false, 0, 0},       {"Q4_3", false, 0, 0},
    {"Q5_0", true, 32, 22},      {"Q5_1", true, 32, 24},      {"Q8_0", true, 32, 34},
    {"Q8_1", false, 0, 0},       {"Q2_K", true, 256, 84},     {"Q3_K", true, 256, 110},
    {"Q4_K", true, 256, 144},    {"Q5_K", true, 256, 176},    {"Q6_K", true, 256, 210},
    {"Q8_K", false, 0, 0},       {"IQ2_XXS", false, 0, 0},    {"IQ2_XS", false, 0, 0},
    {"IQ3_XXS", false, 0, 0},    {"IQ1_S", false, 0, 0},      {"IQ4_NL", false, 0, 0},
    {"IQ3_S", false, 0, 0},      {"IQ2_S", false, 0, 0},      {"IQ4_XS", false, 0, 0},
    {"I8", false, 0, 0},         {"I16", false, 0, 0},        {"I32", false, 0, 0},
    {"I64", false, 0, 0},        {"F64", true, 1, 8},         {"IQ1_M", false, 0, 0},
    {"BF16", true, 1, 2},        {"Q4_0_4_4", false, 0, 0},   {"Q4_0_4_8", false, 0, 0},
    {"Q4_0_8_8", false, 0, 0},   {"TQ1_0", false, 0, 0},      {"TQ2_0", false, 0, 0},
    {"IQ4_NL_4_4", false, 0, 0}, {"IQ4_NL_4_8", false, 0, 0}, {"IQ4_NL_8_8", false, 0, 0},
    {"MXFP4", false, 0, 0},
}};

// Reads one tensor info and checks everything about it that does not depend on where the data
// section starts.
TensorInfo readTensorInfo(Reader& in, const Limits& limits, std::uint64_t alignment,
                          std::uint64_t index,
                          const std::map<std::string, std::size_t, std::less<>>& seen) {
    TensorInfo tensor;
    const std::uint64_t name_bytes = in.u64();
    if (name_bytes > limits.max_key_bytes) {
        fail("tensor " + number(index) + " has a name of " + number(name_bytes) +
             " bytes, at most " + number(limits.max_key_bytes));
    }
    tensor.name = in.text(name_bytes);
    if (tensor.name.empty()) fail("tensor " + number(index) + " has an empty name");
    if (!validUtf8(tensor.name)) {
        fail("tensor " + number(index) + " has a name that is not valid UTF-8");
    }
    const std::string subject = "tensor " + quoted(tensor.name);
    if (seen.contains(tensor.name)) fail(subject + " appears twice");

    const std::uint32_t dims = in.u32();
    if (dims == 0) fail(subject + " has no dimensions");
    if (dims > limits.max_dims) {
        fail(subject + ": " + number(dims) + " dimensions, at most " + number(limits.max_dims));
    }
    for (std::uint32_t d = 0; d < dims; ++d) tensor.dims.push_back(in.u64());
    const std::uint32_t code = in.u32();
    tensor.offset = in.u64();

    if (std::find(tensor.dims.begin(), tensor.dims.end(), 0) != tensor.dims.end()) {
        fail(subject + ": a dimension is 0");
    }
    if (code >= type_table.size()) fail(subject + " has unknown type " + number(code));
    const TypeEntry& type = type_table[code];
    if (!type.supported) {
        fail(subject + " has type " + type.name + ", which is not supported");
    }
    tensor.type = static_cast<TensorType>(code);
    if (tensor.dims[0] % type.block_values != 0) {
        fail(subject + ": row length " + number(tensor.dims[0]) +
             " is not a multiple of the block size " + number(type.block_values) + " of " +
             type.name);
    }
    std::uint64_t elements = 1;
    for (const std::uint64_t extent : tensor.dims) {
        if (extent >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / elements) {
            fail(subject + ": its element count overflows");
        }
        elements *= extent;
    }
    const std::uint64_t blocks = elements / type.block_values;
    if (blocks > std::numeric_limits<std::uint64_t>::max() / type.block_bytes) {
        fail(subject + ": its size in bytes overflows");
    }
    tensor.bytes = blocks * type.block_bytes;
    if (tensor.offset % alignment != 0) {
        fail(subject + ": offset " + number(tensor.offset) +
             " is not a multiple of the alignment " + number(alignment));
    }
    return tensor;
}

}  // namespace

const char* valueTypeName(ValueType type) {
    switch (type) {
        case ValueType::uint8:
            return "uint8";
        case ValueType::int8:
            return "int8";
        case ValueType::uint16:
            return "uint16";
        case ValueType::int16:
            return "int16";
        case ValueType::uint32:
            return "uint32";
        case ValueType::int32:
            return "int32";
        case ValueType::float32:
            return "float32";
        case ValueType::boolean:
            return "bool";
        case ValueType::string:
            return "string";
        case ValueType::array:
            return "array";
        case ValueType::uint64:
            return "uint64";
        case ValueType::int64:
            return "int64";
        case ValueType::float64:
            return "float64";
    }
    return "unknown";
}

TypeInfo typeInfo(TensorType type) {
    const auto code = static_cast<std::uint32_t>(type);
    if (code >= type_table.size() || !type_table[code].supported) {
        fail("unknown tensor type " + number(code));
    }
    const TypeEntry& entry = type_table[code];
    return {entry.name, entry.block_values, entry.block_bytes};
}

File parse(std::span<const std::uint8_t> bytes, const Limits& limits) {
    static constexpr std::uint8_t magic[] = {'G', 'G', 'U', 'F'};
    if (bytes.size() < 4 || !std::equal(magic, magic + 4, bytes.begin())) {
        fail("not a GGUF file (bad magic)");
    }
    Reader in(bytes);
    in.setPlace("in the header");
    (void)in.u32();
    const std::uint32_t version = in.u32();
    // A big-endian writer stores 2 or 3 with its bytes the other way round.
    if (version == 0x02000000u || version == 0x03000000u) {
        fail("big-endian GGUF files are not supported");
    }
    if (version != 2 && version != 3) fail("unsupported GGUF version " + number(version));
    const std::uint64_t tensor_count = in.u64();
    const std::uint64_t metadata_count = in.u64();
    if (tensor_count > limits.max_tensors) {
        fail("too many tensors (" + number(tensor_count) + ", at most " +
             number(limits.max_tensors) + ")");
    }
    if (metadata_count > limits.max_metadata) {
        fail("too many metadata keys (" + number(metadata_count) + ", at most " +
             number(limits.max_metadata) + ")");
    }
    // Counts the rest of the file cannot hold are refused before anything is allocated for them.
    if (metadata_count > in.left() / min_metadata_pair_bytes) {
        fail("metadata count " + number(metadata_count) + " is more than the file can hold");
    }
    if (tensor_count >
        (in.left() - metadata_count * min_metadata_pair_bytes) / min_tensor_info_bytes) {
        fail("tensor count " + number(tensor_count) + " is more than the file can hold");
    }

    File file;
    file.version_ = version;
    file.alignment_ = default_alignment;
    file.metadata_.reserve(static_cast<std::size_t>(metadata_count));
    ValueReader values(in, limits);
    for (std::uint64_t i = 0; i < metadata_count; ++i) {
        in.setPlace("in metadata key " + number(i));
        const std::uint64_t key_bytes = in.u64();
        if (key_bytes > limits.max_key_bytes) {
            fail("metadata key " + number(i) + " is " + number(key_bytes) +
                 " bytes long, at most " + number(limits.max_key_bytes));
        }
        std::string key = in.text(key_bytes);
        if (key.empty()) fail("metadata key " + number(i) + " is empty");
        if (!validUtf8(key)) fail("metadata key " + number(i) + " is not valid UTF-8");
        const std::string subject = "metadata key " + quoted(key);
        if (file.metadata_index_.contains(key)) fail(subject + " appears twice");
        const std::uint32_t code = in.u32();
        if (code > highest_value_type) fail(subject + " has unknown value type " + number(code));
        Value value = values.read(static_cast<ValueType>(code), 0, subject);
        if (key == "general.alignment") {
            if (value.type != ValueType::uint32) fail("general.alignment must be a uint32");
            const std::uint64_t alignment = std::get<std::uint64_t>(value.data);
            if (!std::has_single_bit(alignment)) {
                fail("general.alignment must be a power of two, not " + number(alignment));
            }
            file.alignment_ = alignment;
        }
        file.metadata_index_.emplace(key, file.metadata_.size());
        file.metadata_.emplace_back(std::move(key), std::move(value));
    }

    file.tensors_.reserve(static_cast<std::size_t>(tensor_count));
    for (std::uint64_t i = 0; i < tensor_count; ++i) {
        in.setPlace("in tensor info " + number(i));
        TensorInfo tensor = readTensorInfo(in, limits, file.alignment_, i, file.tensor_index_);
        file.tensor_index_.emplace(tensor.name, file.tensors_.size());
        file.tensors_.push_back(std::move(tensor));
    }

    // The data section starts at the next multiple of the alignment (at most 2^31), which a
    // span's size leaves room for.
    const std::uint64_t end = in.position();
    file.data_offset_ = (end + file.alignment_ - 1) / file.alignment_ * file.alignment_;
    const std::uint64_t data_bytes =
        bytes.size() > file.data_offset_ ? bytes.size() - file.data_offset_ : 0;
    for (const TensorInfo& tensor : file.tensors_) {
        if (tensor.offset > data_bytes || tensor.bytes > data_bytes - tensor.offset) {
            fail("tensor " + quoted(tensor.name) + ": data ends past the end of the file");
        }
    }
    std::vector<std::size_t> order(file.tensors_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return file.tensors_[a].offset < file.tensors_[b].offset;
    });
    // The tensor reaching furthest so far: any later-starting tensor that begins before its end
    // overlaps it.
    const TensorInfo* furthest = nullptr;
    for (const std::size_t k : order) {
        const TensorInfo& tensor = file.tensors_[k];
        if (furthest != nullptr && tensor.offset < furthest->offset + furthest->bytes) {
            fail("tensor " + quoted(tensor.name) + " overlaps tensor " + quoted(furthest->name));
        }
        if (furthest == nullptr ||
            tensor.offset + tensor.bytes > furthest->offset + furthest->bytes) {
            furthest = &tensor;
        }
    }
    return file;
}

const Value* File::find(std::string_view key) const {
    const auto it = metadata_index_.find(key);
    return it == metadata_index_.end() ? nullptr : &metadata_[it->second].second;
}

const TensorInfo* File::tensor(std::string_view name) const {
    const auto it = tensor_index_.find(name);
    return it == tensor_index_.end() ? nullptr : &tensors_[it->second];
}

namespace {

constexpr std::uint64_t exact_double_integers = std::uint64_t{1} << 53;

std::optional<std::int64_t> asInteger(const Value& value) {
    if (const auto* u = std::get_if<std::uint64_t>(&value.data)) {
        if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(*u);
        }
    } else if (const auto* s = std::get_if<std::int64_t>(&value.data)) {
        return *s;
    }
    return std::nullopt;
}

std::optional<double> asNumber(const Value& value) {
    if (const auto* d = std::get_if<double>(&value.data)) return *d;
    if (const auto* u = std::get_if<std::uint64_t>(&value.data)) {
        if (*u <= exact_double_integers) return static_cast<double>(*u);
    } else if (const auto* s = std::get_if<std::int64_t>(&value.data)) {
        const std::uint64_t magnitude =
            *s < 0 ? 0 - static_cast<std::uint64_t>(*s) : static_cast<std::uint64_t>(*s);
        if (magnitude <= exact_double_integers) return static_cast<double>(*s);
    }
    return std::nullopt;
}

[[noreturn]] void expected(std::string_view key, const char* what) {
    fail(std::string(key) + ": expected " + what);
}

// The elements of an array value, each converted by `convert`; nullopt from it refuses the key.
template <typename T, typename Convert>
std::optional<std::vector<T>> arrayOf(const Value* value, std::string_view key, const char* what,
                                      Convert convert) {
    if (value == nullptr) return std::nullopt;
    const auto* elements = std::get_if<std::vector<Value>>(&value->data);
    if (elements == nullptr) expected(key, what);
    std::vector<T> out;
    out.reserve(elements->size());
    for (const Value& element : *elements) {
        std::optional<T> converted = convert(element);
        if (!converted) expected(key, what);
        out.push_back(std::move(*converted));
    }
    return out;
}

}  // namespace

std::optional<std::uint64_t> File::unsignedValue(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (const auto* u = std::get_if<std::uint64_t>(&value->data)) return *u;
    if (const auto* s = std::get_if<std::int64_t>(&value->data); s != nullptr && *s >= 0) {
        return static_cast<std::uint64_t>(*s);
    }
    expected(key, "an unsigned integer");
}

std::optional<std::int64_t> File::integerValue(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (const std::optional<std::int64_t> n = asInteger(*value)) return n;
    expected(key, "an integer");
}

std::optional<double> File::floatValue(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (const std::optional<double> x = asNumber(*value)) return x;
    expected(key, "a number");
}

std::optional<std::string> File::stringValue(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (const auto* s = std::get_if<std::string>(&value->data)) return *s;
    expected(key, "a string");
}

std::optional<bool> File::boolValue(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (const auto* b = std::get_if<bool>(&value->data)) return *b;
    expected(key, "a boolean");
}

std::optional<std::vector<std::string>> File::stringArray(std::string_view key) const {
    return arrayOf<std::string>(find(key), key, "an array of strings",
                                [](const Value& element) -> std::optional<std::string> {
                                    if (const auto* s = std::get_if<std::string>(&element.data)) {
                                        return *s;
                                    }
                                    return std::nullopt;
                                });
}

std::optional<std::vector<double>> File::floatArray(std::string_view key) const {
    return arrayOf<double>(find(key), key, "an array of numbers", asNumber);
}

std::optional<std::vector<std::int64_t>> File::integerArray(std::string_view key) const {
    return arrayOf<std::int64_t>(find(key), key, "an array of integers", asInteger);
}

std::span<const std::uint8_t> tensorBytes(std::span<const std::uint8_t> file, const File& parsed,
                                          const TensorInfo& tensor) {
    const std::uint64_t start = parsed.dataOffset();
    if (start > file.size() || tensor.offset > file.size() - start ||
        tensor.bytes > file.size() - start - tensor.offset) {
        fail("tensor " + quoted(tensor.name) + ": data ends past the end of the file");
    }
    return file.subspan(static_cast<std::size_t>(start + tensor.offset),
                        static_cast<std::size_t>(tensor.bytes));
}

}  // namespace Nuvexis::Core::Tarvel::gguf
