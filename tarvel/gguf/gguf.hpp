#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// The GGUF reader: a file's header, metadata and tensor table from its bytes, versions 2 and 3,
// little-endian. Pure parsing of a byte span: the caller maps the file; nothing here knows a
// model.
namespace Nuvexis::Core::Tarvel::gguf {

// The codes of metadata value types as the file stores them.
enum class ValueType : std::uint32_t {
    uint8 = 0,
    int8 = 1,
    uint16 = 2,
    int16 = 3,
    uint32 = 4,
    int32 = 5,
    float32 = 6,
    boolean = 7,
    string = 8,
    array = 9,
    uint64 = 10,
    int64 = 11,
    float64 = 12
};

// The lower-case name of a value type ("uint32", "array"); "unknown" outside the enumeration.
const char* valueTypeName(ValueType type);

// One metadata value. Unsigned integers are held as uint64_t, signed ones as int64_t, float32
// and float64 as double (widened exactly), booleans as bool, strings as their bytes (not checked
// to be UTF-8) and arrays as their elements, which may be arrays again.
struct Value {
    ValueType type = ValueType::uint8;
    ValueType element_type = ValueType::uint8;  // an array's elements' type; else unused
    std::variant<std::uint64_t, std::int64_t, double, bool, std::string, std::vector<Value>> data;
};

// The tensor types whose layouts are accepted; every other type code of the format is refused
// by name when a file uses it.
enum class TensorType : std::uint32_t {
    f32 = 0,
    f16 = 1,
    q4_0 = 2,
    q4_1 = 3,
    q5_0 = 6,
    q5_1 = 7,
    q8_0 = 8,
    q2_k = 10,
    q3_k = 11,
    q4_k = 12,
    q5_k = 13,
    q6_k = 14,
    f64 = 28,
    bf16 = 30
};

// A type's name as the format spells it ("Q4_K") and its block: block_values consecutive values
// of a row are stored in block_bytes bytes.
struct TypeInfo {
    const char* name;
    std::uint64_t block_values;
    std::uint64_t block_bytes;
};

// Throws std::invalid_argument "unknown tensor type <code>" outside the enumeration.
TypeInfo typeInfo(TensorType type);

struct TensorInfo {
    std::string name;
    std::vector<std::uint64_t> dims;  // as stored: dims[0] varies fastest (the row length)
    TensorType type = TensorType::f32;
    std::uint64_t offset = 0;  // from the start of the data section, as stored
    std::uint64_t bytes = 0;   // computed from dims and type
};

// Bounds on what one file may ask of the reader, checked together with the bytes left before
// anything is allocated. The defaults admit every published model (the largest vocabularies
// hold a few hundred thousand tokens) while a hostile file can make the metadata take at most
// about 50 bytes of memory per array element it counts.
struct Limits {
    std::uint64_t max_tensors = std::uint64_t{1} << 20;
    std::uint64_t max_metadata = std::uint64_t{1} << 20;         // key-value pairs
    std::uint64_t max_key_bytes = std::uint64_t{1} << 16;        // a key or a tensor name
    std::uint64_t max_string_bytes = std::uint64_t{1} << 30;     // one string value
    std::uint64_t max_array_elements = std::uint64_t{1} << 24;   // one array
    std::uint64_t max_metadata_values = std::uint64_t{1} << 24;  // array elements, all together
    std::uint32_t max_array_depth = 8;                           // arrays inside arrays
    std::uint64_t max_dims = 4;
};

class File;

// Reads and checks a whole file's structure: header, every metadata value, every tensor's info,
// and that each tensor's data lies inside the file, aligned and apart from the others. Throws
// std::invalid_argument with a one-line message at the first fault, in file order; tensor data
// is judged after the whole table is read, first each tensor's extent in file order, then
// overlaps in offset order. The tensor values themselves are not read.
File parse(std::span<const std::uint8_t> bytes, const Limits& limits = {});

// What parse() found. Holds no pointer into the file's bytes.
class File {
  public:
    File() = default;

    std::uint32_t version() const { return version_; }
    std::uint64_t alignment() const { return alignment_; }
    // Where the data section starts: the end of the tensor table rounded up to the alignment.
    std::uint64_t dataOffset() const { return data_offset_; }

    const std::vector<std::pair<std::string, Value>>& metadata() const { return metadata_; }
    const Value* find(std::string_view key) const;  // null when absent
    const std::vector<TensorInfo>& tensors() const { return tensors_; }
    const TensorInfo* tensor(std::string_view name) const;  // null when absent

    // Typed reads of one key: std::nullopt when the key is absent, std::invalid_argument
    // "<key>: expected ..." when it holds something else.
    // Any integer type holding a value >= 0.
    std::optional<std::uint64_t> unsignedValue(std::string_view key) const;
    // Any signed or unsigned integer type holding a value that fits in int64_t.
    std::optional<std::int64_t> integerValue(std::string_view key) const;
    // float32 or float64, or an integer that double holds exactly.
    std::optional<double> floatValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::vector<std::string>> stringArray(std::string_view key) const;
    // Elements as floatValue() takes them.
    std::optional<std::vector<double>> floatArray(std::string_view key) const;
    // Elements as integerValue() takes them.
    std::optional<std::vector<std::int64_t>> integerArray(std::string_view key) const;

  private:
    friend File parse(std::span<const std::uint8_t> bytes, const Limits& limits);

    std::uint32_t version_ = 0;
    std::uint64_t alignment_ = 32;
    std::uint64_t data_offset_ = 0;
    std::vector<std::pair<std::string, Value>> metadata_;
    std::vector<TensorInfo> tensors_;
    std::map<std::string, std::size_t, std::less<>> metadata_index_;
    std::map<std::string, std::size_t, std::less<>> tensor_index_;
};

// The bytes of one tensor inside the same span parse() read. Throws std::invalid_argument
// "tensor '<name>': data ends past the end of the file" when the span is too short for it.
std::span<const std::uint8_t> tensorBytes(std::span<const std::uint8_t> file, const File& parsed,
                                          const TensorInfo& tensor);

}  // namespace Nuvexis::Core::Tarvel::gguf
