#pragma once

// Builds GGUF files for tests, byte by byte: valid ones from a description, broken ones by
// overriding any count, length, type or offset, or by editing the bytes afterwards. Knows
// nothing of the reader; its only knowledge of tensor types is the block table below.

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvel_test {

inline void putLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

inline void putText(std::vector<std::uint8_t>& out, std::string_view text) {
    putLe(out, text.size(), 8);
    out.insert(out.end(), text.begin(), text.end());
}

// A metadata value: its type code and its encoding (without the type code).
struct GgufValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> payload;
};

namespace gguf_value {

inline GgufValue fixed(std::uint32_t type, std::uint64_t bits, int bytes) {
    GgufValue v{type, {}};
    putLe(v.payload, bits, bytes);
    return v;
}
inline GgufValue u8(std::uint8_t x) {
    return fixed(0, x, 1);
}
inline GgufValue i8(std::int8_t x) {
    return fixed(1, static_cast<std::uint8_t>(x), 1);
}
inline GgufValue u16(std::uint16_t x) {
    return fixed(2, x, 2);
}
inline GgufValue i16(std::int16_t x) {
    return fixed(3, static_cast<std::uint16_t>(x), 2);
}
inline GgufValue u32(std::uint32_t x) {
    return fixed(4, x, 4);
}
inline GgufValue i32(std::int32_t x) {
    return fixed(5, static_cast<std::uint32_t>(x), 4);
}
inline GgufValue f32(float x) {
    return fixed(6, std::bit_cast<std::uint32_t>(x), 4);
}
inline GgufValue boolean(std::uint8_t byte) {
    return fixed(7, byte, 1);
}
inline GgufValue u64(std::uint64_t x) {
    return fixed(10, x, 8);
}
inline GgufValue i64(std::int64_t x) {
    return fixed(11, static_cast<std::uint64_t>(x), 8);
}
inline GgufValue f64(double x) {
    return fixed(12, std::bit_cast<std::uint64_t>(x), 8);
}
inline GgufValue str(std::string_view text) {
    GgufValue v{8, {}};
    putText(v.payload, text);
    return v;
}
// An array of `element_type`; `count` overrides the element count written.
inline GgufValue array(std::uint32_t element_type, const std::vector<GgufValue>& elements,
                       std::optional<std::uint64_t> count = std::nullopt) {
    GgufValue v{9, {}};
    putLe(v.payload, element_type, 4);
    putLe(v.payload, count.value_or(elements.size()), 8);
    for (const GgufValue& e : elements)
        v.payload.insert(v.payload.end(), e.payload.begin(), e.payload.end());
    return v;
}

}  // namespace gguf_value

// Block values and bytes of the tensor types the tests write (code -> {values, bytes}).
inline std::pair<std::uint64_t, std::uint64_t> ggufBlock(std::uint32_t type) {
    switch (type) {
        case 0:
            return {1, 4};
        case 1:
            return {1, 2};
        case 2:
            return {32, 18};
        case 3:
            return {32, 20};
        case 6:
            return {32, 22};
        case 7:
            return {32, 24};
        case 8:
            return {32, 34};
        case 10:
            return {256, 84};
        case 11:
            return {256, 110};
        case 12:
            return {256, 144};
        case 13:
            return {256, 176};
        case 14:
            return {256, 210};
        case 28:
            return {1, 8};
        case 30:
            return {1, 2};
        default:
            return {1, 1};
    }
}

struct GgufTensorEntry {
    std::string name;
    std::vector<std::uint64_t> dims;
    std::uint32_t type = 0;
    std::optional<std::uint64_t> offset;  // default: after the previous tensor, aligned
    std::vector<std::uint8_t> data;  // default: the size dims and type give, bytes 1, 2, 3, ...
    std::optional<std::uint32_t> dim_count;  // overrides the dimension count written
    bool place_data = true;                  // false: the table names data the file lacks
};

struct GgufBuilder {
    std::uint32_t version = 3;
    std::optional<std::uint64_t> tensor_count;    // override
    std::optional<std::uint64_t> metadata_count;  // override
    std::uint64_t alignment = 32;                 // where the data section and tensors are placed
    std::vector<std::pair<std::string, GgufValue>> metadata;
    std::vector<GgufTensorEntry> tensors;

    GgufBuilder& add(std::string key, GgufValue value) {
        metadata.emplace_back(std::move(key), std::move(value));
        return *this;
    }
    GgufBuilder& tensor(GgufTensorEntry entry) {
        tensors.push_back(std::move(entry));
        return *this;
    }

    static std::uint64_t dataBytes(const GgufTensorEntry& t) {
        if (!t.data.empty()) return t.data.size();
        std::uint64_t elements = 1;
        for (const std::uint64_t d : t.dims) elements *= d;
        const auto [values, bytes] = ggufBlock(t.type);
        return elements / values * bytes;
    }

    std::vector<std::uint8_t> build() const {
        std::vector<std::uint8_t> out = {'G', 'G', 'U', 'F'};
        putLe(out, version, 4);
        putLe(out, tensor_count.value_or(tensors.size()), 8);
        putLe(out, metadata_count.value_or(metadata.size()), 8);
        for (const auto& [key, value] : metadata) {
            putText(out, key);
            putLe(out, value.type, 4);
            out.insert(out.end(), value.payload.begin(), value.payload.end());
        }
        std::vector<std::uint64_t> offsets;
        std::uint64_t next = 0;
        for (const GgufTensorEntry& t : tensors) {
            const std::uint64_t offset =
                t.offset.value_or((next + alignment - 1) / alignment * alignment);
            offsets.push_back(offset);
            next = offset + dataBytes(t);
            putText(out, t.name);
            putLe(out, t.dim_count.value_or(static_cast<std::uint32_t>(t.dims.size())), 4);
            for (const std::uint64_t d : t.dims) putLe(out, d, 8);
            putLe(out, t.type, 4);
            putLe(out, offset, 8);
        }
        if (tensors.empty()) return out;
        out.resize((out.size() + alignment - 1) / alignment * alignment, 0);
        const std::size_t start = out.size();
        for (std::size_t i = 0; i < tensors.size(); ++i) {
            if (!tensors[i].place_data) continue;
            const std::uint64_t bytes = dataBytes(tensors[i]);
            const std::size_t at = start + offsets[i];
            if (out.size() < at + bytes) out.resize(at + bytes, 0);
            for (std::uint64_t k = 0; k < bytes; ++k) {
                out[at + k] =
                    tensors[i].data.empty() ? static_cast<std::uint8_t>(k + 1) : tensors[i].data[k];
            }
        }
        return out;
    }
};

}  // namespace tarvel_test
