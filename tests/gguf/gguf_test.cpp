#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/gguf_writer.hpp"
#include "tarvel/gguf/gguf.hpp"

namespace {

using namespace Nuvexis::Core::Tarvel;
using namespace tarvel_test;
namespace gv = tarvel_test::gguf_value;
constexpr std::uint64_t max64 = ~std::uint64_t{0};
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t f32_code = 0;
constexpr std::uint32_t q4_k_code = 12;
constexpr std::uint32_t q8_0_code = 8;

GgufTensorEntry tensorEntry(std::string name, std::vector<std::uint64_t> dims,
                            std::uint32_t type = f32_code) {
    GgufTensorEntry t;
    t.name = std::move(name);
    t.dims = std::move(dims);
    t.type = type;
    return t;
}

// A small valid file: two keys and three tensors of different types.
GgufBuilder smallFile() {
    GgufBuilder b;
    b.add("general.architecture", gv::str("llama")).add("llama.block_count", gv::u32(2));
    b.tensor(tensorEntry("token_embd.weight", {4, 3}))
        .tensor(tensorEntry("blk.0.attn_q.weight", {256, 2}, q4_k_code))
        .tensor(tensorEntry("output_norm.weight", {64}, q8_0_code));
    return b;
}

gguf::File parseBytes(const Bytes& bytes) {
    return gguf::parse(bytes);
}

TEST(Gguf, ReadsEveryValueTypeAndNestedArraysExactly) {
    GgufBuilder b;
    b.add("u8", gv::u8(200))
        .add("i8", gv::i8(-100))
        .add("u16", gv::u16(60000))
        .add("i16", gv::i16(-30000))
        .add("u32", gv::u32(4000000000u))
        .add("i32", gv::i32(-2000000000))
        .add("f32", gv::f32(1e-5f))
        .add("yes", gv::boolean(1))
        .add("no", gv::boolean(0))
        .add("text", gv::str("héllo"))
        .add("u64", gv::u64(~std::uint64_t{0}))
        .add("i64", gv::i64(-9000000000000000000))
        .add("f64", gv::f64(0.1))
        .add("strings", gv::array(8, {gv::str("a"), gv::str(""), gv::str("<0x0A>")}))
        .add("floats", gv::array(6, {gv::f32(0.5f), gv::f32(-2.0f)}))
        .add("ints", gv::array(5, {gv::i32(-1), gv::i32(7)}))
        .add("empty", gv::array(4, {}))
        .add("nested",
             gv::array(9, {gv::array(4, {gv::u32(1), gv::u32(2)}), gv::array(8, {gv::str("x")})}));
    for (const std::uint32_t version : {2u, 3u}) {
        b.version = version;
        const Bytes bytes = b.build();
        const gguf::File f = parseBytes(bytes);
        EXPECT_EQ(f.version(), version);
        EXPECT_EQ(f.alignment(), 32u);
        EXPECT_EQ(f.dataOffset(), bytes.size() + 31 - (bytes.size() + 31) % 32);
        ASSERT_EQ(f.metadata().size(), b.metadata.size());
        for (std::size_t i = 0; i < b.metadata.size(); ++i) {
            EXPECT_EQ(f.metadata()[i].first, b.metadata[i].first);  // file order
            EXPECT_EQ(static_cast<std::uint32_t>(f.metadata()[i].second.type),
                      b.metadata[i].second.type);
        }
        EXPECT_EQ(f.unsignedValue("u8"), 200u);
        EXPECT_EQ(f.integerValue("i8"), -100);
        EXPECT_EQ(f.unsignedValue("u16"), 60000u);
        EXPECT_EQ(f.integerValue("i16"), -30000);
        EXPECT_EQ(f.unsignedValue("u32"), 4000000000u);
        EXPECT_EQ(f.integerValue("i32"), -2000000000);
        EXPECT_EQ(f.floatValue("f32"), 9.999999747378752e-06);  // float32 widened exactly
        EXPECT_EQ(f.boolValue("yes"), true);
        EXPECT_EQ(f.boolValue("no"), false);
        EXPECT_EQ(f.stringValue("text"), "héllo");
        EXPECT_EQ(f.unsignedValue("u64"), ~std::uint64_t{0});
        EXPECT_EQ(f.integerValue("i64"), -9000000000000000000);
        EXPECT_EQ(f.floatValue("f64"), 0.1);
        EXPECT_EQ(f.floatValue("u32"), 4000000000.0);
        EXPECT_EQ(f.stringArray("strings"), (std::vector<std::string>{"a", "", "<0x0A>"}));
        EXPECT_EQ(f.floatArray("floats"), (std::vector<double>{0.5, -2.0}));
        EXPECT_EQ(f.integerArray("ints"), (std::vector<std::int64_t>{-1, 7}));
        EXPECT_EQ(f.integerArray("empty"), std::vector<std::int64_t>{});
        EXPECT_EQ(f.find("empty")->element_type, gguf::ValueType::uint32);
        EXPECT_EQ(f.find("absent"), nullptr);
        EXPECT_EQ(f.unsignedValue("absent"), std::nullopt);

        const gguf::Value* nested = f.find("nested");
        ASSERT_NE(nested, nullptr);
        EXPECT_EQ(nested->type, gguf::ValueType::array);
        EXPECT_EQ(nested->element_type, gguf::ValueType::array);
        const auto& outer = std::get<std::vector<gguf::Value>>(nested->data);
        ASSERT_EQ(outer.size(), 2u);
        EXPECT_EQ(outer[0].element_type, gguf::ValueType::uint32);
        const auto& inner = std::get<std::vector<gguf::Value>>(outer[0].data);
        ASSERT_EQ(inner.size(), 2u);
        EXPECT_EQ(std::get<std::uint64_t>(inner[1].data), 2u);
        EXPECT_EQ(std::get<std::string>(std::get<std::vector<gguf::Value>>(outer[1].data)[0].data),
                  "x");
    }
}

TEST(Gguf, TypedGettersRefuseOtherTypesNamingTheKey) {
    GgufBuilder b;
    b.add("neg", gv::i32(-3))
        .add("text", gv::str("x"))
        .add("big", gv::u64(~std::uint64_t{0}))
        .add("huge", gv::u64((std::uint64_t{1} << 53) + 1))
        .add("flag", gv::boolean(1))
        .add("mixed", gv::array(9, {gv::array(4, {})}))
        .add("f", gv::f32(1.5f));
    const Bytes bytes = b.build();
    const gguf::File f = parseBytes(bytes);
    EXPECT_THROW_MSG(f.unsignedValue("neg"), std::invalid_argument,
                     "neg: expected an unsigned integer");
    EXPECT_THROW_MSG(f.unsignedValue("f"), std::invalid_argument,
                     "f: expected an unsigned integer");
    EXPECT_THROW_MSG(f.integerValue("big"), std::invalid_argument, "big: expected an integer");
    EXPECT_THROW_MSG(f.floatValue("huge"), std::invalid_argument, "huge: expected a number");
    EXPECT_THROW_MSG(f.floatValue("text"), std::invalid_argument, "text: expected a number");
    EXPECT_THROW_MSG(f.stringValue("neg"), std::invalid_argument, "neg: expected a string");
    EXPECT_THROW_MSG(f.boolValue("neg"), std::invalid_argument, "neg: expected a boolean");
    EXPECT_THROW_MSG(f.stringArray("text"), std::invalid_argument,
                     "text: expected an array of strings");
    EXPECT_THROW_MSG(f.floatArray("mixed"), std::invalid_argument,
                     "mixed: expected an array of numbers");
    EXPECT_THROW_MSG(f.integerArray("flag"), std::invalid_argument,
                     "flag: expected an array of integers");
    EXPECT_EQ(f.floatValue("neg"), -3.0);
}

TEST(Gguf, PlacesTensorsAtTheAlignmentAndReturnsTheirBytes) {
    for (const std::uint32_t alignment : {0u, 1u, 64u, 4096u}) {  // 0: the default, 32
        GgufBuilder b = smallFile();
        if (alignment != 0) b.add("general.alignment", gv::u32(alignment));
        b.alignment = alignment == 0 ? 32 : alignment;
        const Bytes bytes = b.build();
        const gguf::File f = parseBytes(bytes);
        EXPECT_EQ(f.alignment(), b.alignment);
        EXPECT_EQ(f.dataOffset() % b.alignment, 0u);
        ASSERT_EQ(f.tensors().size(), 3u);
        const std::vector<std::uint64_t> sizes = {48, 288, 68};
        for (std::size_t i = 0; i < 3; ++i) {
            const gguf::TensorInfo& t = f.tensors()[i];
            EXPECT_EQ(t.name, b.tensors[i].name);
            EXPECT_EQ(t.dims, b.tensors[i].dims);
            EXPECT_EQ(static_cast<std::uint32_t>(t.type), b.tensors[i].type);
            EXPECT_EQ(t.bytes, sizes[i]);
            EXPECT_EQ(t.offset % b.alignment, 0u);
            EXPECT_EQ(f.tensor(t.name), &t);
            const std::span<const std::uint8_t> data = gguf::tensorBytes(bytes, f, t);
            ASSERT_EQ(data.size(), sizes[i]);
            EXPECT_EQ(data.data(), bytes.data() + f.dataOffset() + t.offset);
            EXPECT_EQ(data[0], 1);
            EXPECT_EQ(data[sizes[i] - 1], static_cast<std::uint8_t>(sizes[i]));
        }
        EXPECT_EQ(f.tensor("absent"), nullptr);
    }
    const Bytes bytes = smallFile().build();
    const gguf::File f = parseBytes(bytes);
    const Bytes shorter(bytes.begin(), bytes.end() - 1);
    EXPECT_THROW_MSG(gguf::tensorBytes(shorter, f, f.tensors()[2]), std::invalid_argument,
                     "tensor 'output_norm.weight': data ends past the end of the file");
}

TEST(Gguf, TypeTableGivesTheBlocksOfEveryAcceptedType) {
    struct Row {
        gguf::TensorType type;
        const char* name;
        std::uint64_t values, bytes;
    };
    const Row rows[] = {
        {gguf::TensorType::f32, "F32", 1, 4},       {gguf::TensorType::f16, "F16", 1, 2},
        {gguf::TensorType::q4_0, "Q4_0", 32, 18},   {gguf::TensorType::q4_1, "Q4_1", 32, 20},
        {gguf::TensorType::q5_0, "Q5_0", 32, 22},   {gguf::TensorType::q5_1, "Q5_1", 32, 24},
        {gguf::TensorType::q8_0, "Q8_0", 32, 34},   {gguf::TensorType::q2_k, "Q2_K", 256, 84},
        {gguf::TensorType::q3_k, "Q3_K", 256, 110}, {gguf::TensorType::q4_k, "Q4_K", 256, 144},
        {gguf::TensorType::q5_k, "Q5_K", 256, 176}, {gguf::TensorType::q6_k, "Q6_K", 256, 210},
        {gguf::TensorType::f64, "F64", 1, 8},       {gguf::TensorType::bf16, "BF16", 1, 2},
    };
    for (const Row& row : rows) {
        const gguf::TypeInfo info = gguf::typeInfo(row.type);
        EXPECT_STREQ(info.name, row.name);
        EXPECT_EQ(info.block_values, row.values) << row.name;
        EXPECT_EQ(info.block_bytes, row.bytes) << row.name;
        // A two-row tensor of two blocks a row reads back at four blocks' bytes.
        GgufBuilder b;
        b.tensor(tensorEntry("t", {2 * row.values, 2}, static_cast<std::uint32_t>(row.type)));
        const Bytes bytes = b.build();
        EXPECT_EQ(parseBytes(bytes).tensors()[0].bytes, 4 * row.bytes) << row.name;
    }
    EXPECT_THROW_MSG(gguf::typeInfo(static_cast<gguf::TensorType>(9)), std::invalid_argument,
                     "unknown tensor type 9");
}

TEST(Gguf, RefusesEveryOtherTensorTypeByName) {
    const std::vector<std::pair<std::uint32_t, std::string>> refused = {
        {4, "Q4_2"},    {5, "Q4_3"},     {9, "Q8_1"},        {15, "Q8_K"},       {16, "IQ2_XXS"},
        {17, "IQ2_XS"}, {18, "IQ3_XXS"}, {19, "IQ1_S"},      {20, "IQ4_NL"},     {21, "IQ3_S"},
        {22, "IQ2_S"},  {23, "IQ4_XS"},  {24, "I8"},         {25, "I16"},        {26, "I32"},
        {27, "I64"},    {29, "IQ1_M"},   {31, "Q4_0_4_4"},   {32, "Q4_0_4_8"},   {33, "Q4_0_8_8"},
        {34, "TQ1_0"},  {35, "TQ2_0"},   {36, "IQ4_NL_4_4"}, {37, "IQ4_NL_4_8"}, {38, "IQ4_NL_8_8"},
        {39, "MXFP4"},
    };
    for (const auto& [code, name] : refused) {
        GgufBuilder b;
        b.tensor(tensorEntry("blk.0.attn_q.weight", {256}, code));
        EXPECT_THROW_MSG(
            parseBytes(b.build()), std::invalid_argument,
            "tensor 'blk.0.attn_q.weight' has type " + name + ", which is not supported");
    }
    for (const std::uint32_t code : {40u, 77u, 0xffffffffu}) {
        GgufBuilder b;
        b.tensor(tensorEntry("x", {256}, code));
        EXPECT_THROW_MSG(parseBytes(b.build()), std::invalid_argument,
                         "tensor 'x' has unknown type " + std::to_string(code));
    }
}

struct BrokenCase {
    const char* what;
    std::function<Bytes()> make;
    const char* message;
};

Bytes edited(Bytes bytes, std::size_t at, std::vector<std::uint8_t> with) {
    for (std::size_t k = 0; k < with.size(); ++k) bytes[at + k] = with[k];
    return bytes;
}

GgufBuilder withTensors(std::vector<GgufTensorEntry> tensors) {
    GgufBuilder b;
    b.tensors = std::move(tensors);
    return b;
}

GgufTensorEntry at(GgufTensorEntry t, std::uint64_t offset) {
    t.offset = offset;
    return t;
}

TEST(Gguf, RefusesEveryBrokenFileWithOneLine) {
    const std::vector<BrokenCase> cases = {
        {"empty", [] { return Bytes{}; }, "not a GGUF file (bad magic)"},
        {"three bytes",
         [] {
             return Bytes{'G', 'G', 'U'};
         },
         "not a GGUF file (bad magic)"},
        {"bad magic", [] { return edited(smallFile().build(), 3, {'G'}); },
         "not a GGUF file (bad magic)"},
        {"no version", [] { return Bytes{'G', 'G', 'U', 'F', 3, 0}; }, "truncated in the header"},
        {"version 1",
         [] {
             GgufBuilder b;
             b.version = 1;
             return b.build();
         },
         "unsupported GGUF version 1"},
        {"version 4",
         [] {
             GgufBuilder b;
             b.version = 4;
             return b.build();
         },
         "unsupported GGUF version 4"},
        {"big-endian",
         [] {
             return edited(smallFile().build(), 4, {0, 0, 0, 3});
         },
         "big-endian GGUF files are not supported"},
        {"no counts", [] { return Bytes{'G', 'G', 'U', 'F', 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}; },
         "truncated in the header"},
        {"huge tensor count",
         [] {
             GgufBuilder b;
             b.tensor_count = std::uint64_t{1} << 40;
             return b.build();
         },
         "too many tensors (1099511627776, at most 1048576)"},
        {"huge metadata count",
         [] {
             GgufBuilder b;
             b.metadata_count = max64;
             return b.build();
         },
         "too many metadata keys (18446744073709551615, at most 1048576)"},
        {"metadata count past the bytes",
         [] {
             GgufBuilder b = smallFile();
             b.metadata_count = 1000;
             return b.build();
         },
         "metadata count 1000 is more than the file can hold"},
        {"tensor count past the bytes",
         [] {
             GgufBuilder b = smallFile();
             b.tensor_count = 1000;
             return b.build();
         },
         "tensor count 1000 is more than the file can hold"},
        {"fewer metadata than counted",
         [] {
             GgufBuilder b;
             b.add("abcdefgh", gv::u8(1));
             b.metadata_count = 2;
             Bytes bytes = b.build();
             const Bytes half_key = {5, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'};
             bytes.insert(bytes.end(), half_key.begin(), half_key.end());
             return bytes;
         },
         "truncated in metadata key 1"},
        {"key longer than the file",
         [] {
             GgufBuilder b;
             b.add("a", gv::u8(1)).add(std::string(40, 'k'), gv::u8(1));
             Bytes bytes = b.build();
             bytes.resize(bytes.size() - 30);
             return bytes;
         },
         "truncated in metadata key 1"},
        {"key too long",
         [] {
             GgufBuilder b;
             b.add(std::string(70000, 'k'), gv::u8(1));
             return b.build();
         },
         "metadata key 0 is 70000 bytes long, at most 65536"},
        {"empty key",
         [] {
             GgufBuilder b;
             b.add("", gv::u64(1));
             return b.build();
         },
         "metadata key 0 is empty"},
        {"key not UTF-8",
         [] {
             GgufBuilder b;
             b.add("a", gv::u8(1)).add("b\xc0\x80", gv::u8(1));
             return b.build();
         },
         "metadata key 1 is not valid UTF-8"},
        {"duplicated key",
         [] {
             GgufBuilder b;
             b.add("x", gv::u8(1)).add("y", gv::u8(1)).add("x", gv::str("z"));
             return b.build();
         },
         "metadata key 'x' appears twice"},
        {"unknown value type",
         [] {
             GgufBuilder b;
             b.add("x", GgufValue{13, {0, 0, 0, 0}});
             return b.build();
         },
         "metadata key 'x' has unknown value type 13"},
        {"unknown array element type",
         [] {
             GgufBuilder b;
             b.add("x", gv::array(13, {}));
             return b.build();
         },
         "metadata key 'x': array of unknown value type 13"},
        {"bad boolean",
         [] {
             GgufBuilder b;
             b.add("x", gv::boolean(2));
             return b.build();
         },
         "metadata key 'x': boolean value 2 is neither 0 nor 1"},
        {"string past the end",
         [] {
             GgufBuilder b;
             b.add("x", gv::str("abc"));
             Bytes bytes = b.build();
             bytes.pop_back();
             return bytes;
         },
         "truncated in metadata key 0"},
        {"huge string",
         [] {
             GgufBuilder b;
             b.add("x", gv::fixed(8, max64, 8));
             return b.build();
         },
         "metadata key 'x': string of 18446744073709551615 bytes, at most 1073741824"},
        {"huge array",
         [] {
             GgufBuilder b;
             b.add("x", gv::array(0, {}, max64));
             return b.build();
         },
         "metadata key 'x': array of 18446744073709551615 elements, at most 16777216"},
        {"array count past the bytes",
         [] {
             GgufBuilder b;
             b.add("x", gv::array(10, {gv::u64(1), gv::u64(2)}, 1000));
             return b.build();
         },
         "truncated in metadata key 0"},
        {"arrays nested too deep",
         [] {
             GgufValue v = gv::array(4, {});
             for (int level = 0; level < 8; ++level) v = gv::array(9, {v});
             GgufBuilder b;
             b.add("deep", v);
             return b.build();
         },
         "metadata key 'deep': arrays nest deeper than 8 levels"},
        {"alignment not a power of two",
         [] {
             GgufBuilder b;
             b.add("general.alignment", gv::u32(24));
             return b.build();
         },
         "general.alignment must be a power of two, not 24"},
        {"alignment 0",
         [] {
             GgufBuilder b;
             b.add("general.alignment", gv::u32(0));
             return b.build();
         },
         "general.alignment must be a power of two, not 0"},
        {"alignment not a uint32",
         [] {
             GgufBuilder b;
             b.add("general.alignment", gv::u64(32));
             return b.build();
         },
         "general.alignment must be a uint32"},
        {"tensor info truncated",
         [] {
             Bytes bytes = smallFile().build();
             const gguf::File f = parseBytes(bytes);
             bytes.resize(f.dataOffset() - 40);
             return bytes;
         },
         "truncated in tensor info 2"},
        {"empty tensor name", [] { return withTensors({tensorEntry("", {4})}).build(); },
         "tensor 0 has an empty name"},
        {"tensor name not UTF-8",
         [] {
             return withTensors({tensorEntry("a", {4}), tensorEntry("\xed\xa0\x80", {4})}).build();
         },
         "tensor 1 has a name that is not valid UTF-8"},
        {"tensor name too long",
         [] { return withTensors({tensorEntry(std::string(70000, 'n'), {4})}).build(); },
         "tensor 0 has a name of 70000 bytes, at most 65536"},
        {"duplicated tensor",
         [] {
             return withTensors(
                        {tensorEntry("a", {4}), tensorEntry("b", {4}), tensorEntry("a", {4})})
                 .build();
         },
         "tensor 'a' appears twice"},
        {"no dimensions", [] { return withTensors({tensorEntry("a", {})}).build(); },
         "tensor 'a' has no dimensions"},
        {"five dimensions",
         [] {
             return withTensors({tensorEntry("a", {1, 1, 1, 1, 1})}).build();
         },
         "tensor 'a': 5 dimensions, at most 4"},
        {"huge dimension count",
         [] {
             GgufTensorEntry t = tensorEntry("a", {4});
             t.dim_count = 0xffffffffu;
             return withTensors({t}).build();
         },
         "tensor 'a': 4294967295 dimensions, at most 4"},
        {"zero dimension",
         [] {
             return withTensors({tensorEntry("a", {4, 0})}).build();
         },
         "tensor 'a': a dimension is 0"},
        {"row not whole blocks",
         [] {
             GgufTensorEntry t = tensorEntry("a", {100, 2}, q4_k_code);
             t.data.resize(400);
             return withTensors({t}).build();
         },
         "tensor 'a': row length 100 is not a multiple of the block size 256 of Q4_K"},
        {"element count overflow",
         [] {
             GgufTensorEntry t = tensorEntry("a", {std::uint64_t{1} << 32, std::uint64_t{1} << 31});
             t.data.resize(4);
             return withTensors({t}).build();
         },
         "tensor 'a': its element count overflows"},
        {"byte size overflow",
         [] {
             GgufTensorEntry t = tensorEntry("a", {std::uint64_t{1} << 62});
             t.data.resize(4);
             return withTensors({t}).build();
         },
         "tensor 'a': its size in bytes overflows"},
        {"unaligned offset", [] { return withTensors({at(tensorEntry("a", {4}), 7)}).build(); },
         "tensor 'a': offset 7 is not a multiple of the alignment 32"},
        {"data past the end",
         [] {
             Bytes bytes = smallFile().build();
             bytes.pop_back();
             return bytes;
         },
         "tensor 'output_norm.weight': data ends past the end of the file"},
        {"offset past the end",
         [] {
             GgufTensorEntry t = at(tensorEntry("a", {4}), max64 - 31);
             t.place_data = false;
             return withTensors({t}).build();
         },
         "tensor 'a': data ends past the end of the file"},
        {"overlapping tensors",
         [] {
             return withTensors({tensorEntry("a", {16}), at(tensorEntry("b", {4}), 96),
                                 at(tensorEntry("c", {4}), 32)})
                 .build();
         },
         "tensor 'c' overlaps tensor 'a'"},
        {"same offset",
         [] {
             return withTensors({at(tensorEntry("a", {4}), 0), at(tensorEntry("b", {4}), 0)})
                 .build();
         },
         "tensor 'b' overlaps tensor 'a'"},
        {"first fault wins: duplicate name before a bad type",
         [] {
             return withTensors({tensorEntry("a", {4}), tensorEntry("a", {4}, 77)}).build();
         },
         "tensor 'a' appears twice"},
        {"first fault wins: zero dimension before a bad type",
         [] { return withTensors({tensorEntry("a", {0}, 16)}).build(); },
         "tensor 'a': a dimension is 0"},
        {"first fault wins: extent before overlap",
         [] {
             GgufTensorEntry c = at(tensorEntry("c", {4}), 256);
             c.place_data = false;
             return withTensors({tensorEntry("a", {16}), at(tensorEntry("b", {4}), 32), c}).build();
         },
         "tensor 'c': data ends past the end of the file"},
    };
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes bytes = c.make();
        EXPECT_THROW_MSG(gguf::parse(bytes), std::invalid_argument, c.message);
    }
}

TEST(Gguf, RefusesEveryTruncationWithoutReadingPastTheEnd) {
    GgufBuilder b = smallFile();
    b.add("tokens", gv::array(8, {gv::str("a"), gv::str("bc")}))
        .add("nested", gv::array(9, {gv::array(6, {gv::f32(1.0f)})}));
    const Bytes bytes = b.build();
    ASSERT_NO_THROW(parseBytes(bytes));
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        // A copy exactly as long, so a read past it is a sanitizer finding.
        const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_THROW(parseBytes(prefix), std::invalid_argument) << size;
    }
}

TEST(Gguf, LimitsAreTheCallers) {
    GgufBuilder b = smallFile();
    b.add("tokens", gv::array(8, {gv::str("a"), gv::str("bc")}));
    b.add("more", gv::array(9, {gv::array(4, {gv::u32(1), gv::u32(2)})}));
    const Bytes bytes = b.build();
    gguf::Limits limits;
    limits.max_tensors = 2;
    EXPECT_THROW_MSG(gguf::parse(bytes, limits), std::invalid_argument,
                     "too many tensors (3, at most 2)");
    limits = {};
    limits.max_metadata = 3;
    EXPECT_THROW_MSG(gguf::parse(bytes, limits), std::invalid_argument,
                     "too many metadata keys (4, at most 3)");
    limits = {};
    limits.max_string_bytes = 1;
    EXPECT_THROW_MSG(gguf::parse(bytes, limits), std::invalid_argument,
                     "metadata key 'general.architecture': string of 5 bytes, at most 1");
    limits = {};
    limits.max_metadata_values = 4;
    EXPECT_THROW_MSG(gguf::parse(bytes, limits), std::invalid_argument,
                     "metadata holds more than 4 array elements");
    limits = {};
    limits.max_array_depth = 1;
    EXPECT_THROW_MSG(gguf::parse(bytes, limits), std::invalid_argument,
                     "metadata key 'more': arrays nest deeper than 1 levels");
    limits = {};
    limits.max_dims = 1;
    EXPECT_THROW_MSG(gguf::parse(bytes, limits), std::invalid_argument,
                     "tensor 'token_embd.weight': 2 dimensions, at most 1");
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Written by the independent Python tool (tools/gguf.py fixture): a two-row tensor of each type.
TEST(Gguf, ReadsTheFileOfThePythonTool) {
    const Bytes bytes = readFile(TARVEL_GGUF_EVERY_TYPE);
    const gguf::File f = parseBytes(bytes);
    EXPECT_EQ(f.stringValue("general.name"), "every tensor type");
    EXPECT_EQ(f.dataOffset(), 768u);
    ASSERT_EQ(f.tensors().size(), 14u);
    std::uint64_t next = 0;
    for (const gguf::TensorInfo& t : f.tensors()) {
        const gguf::TypeInfo type = gguf::typeInfo(t.type);
        EXPECT_EQ(t.name, std::string("t.") + type.name);
        const std::uint64_t row = std::max<std::uint64_t>(type.block_values, 32);
        EXPECT_EQ(t.dims, (std::vector<std::uint64_t>{row, 2}));
        EXPECT_EQ(t.bytes, 2 * row / type.block_values * type.block_bytes) << t.name;
        EXPECT_EQ(t.offset, next) << t.name;
        next = (t.offset + t.bytes + 31) / 32 * 32;
    }
    EXPECT_EQ(f.dataOffset() + next, bytes.size());
}

TEST(Gguf, ReadsTheStories260KFile) {
    const std::filesystem::path path = TARVEL_STORIES_GGUF;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not bundled";
    const Bytes bytes = readFile(path);
    const gguf::File f = parseBytes(bytes);
    EXPECT_EQ(f.version(), 3u);
    EXPECT_EQ(f.stringValue("general.architecture"), "llama");
    EXPECT_EQ(f.floatValue("llama.attention.layer_norm_rms_epsilon"), 9.999999747378752e-06);
    EXPECT_EQ(f.unsignedValue("llama.embedding_length"), 64u);
    EXPECT_EQ(f.unsignedValue("llama.feed_forward_length"), 172u);
    EXPECT_EQ(f.unsignedValue("llama.block_count"), 5u);
    EXPECT_EQ(f.unsignedValue("llama.attention.head_count"), 8u);
    EXPECT_EQ(f.unsignedValue("llama.attention.head_count_kv"), 4u);
    EXPECT_EQ(f.stringValue("tokenizer.ggml.model"), "llama");
    EXPECT_EQ(f.stringArray("tokenizer.ggml.tokens")->size(), 512u);
    EXPECT_EQ(f.floatArray("tokenizer.ggml.scores")->size(), 512u);
    EXPECT_EQ(f.unsignedValue("tokenizer.ggml.bos_token_id"), 1u);
    EXPECT_EQ(f.unsignedValue("tokenizer.ggml.eos_token_id"), 2u);

    EXPECT_EQ(f.tensors().size(), 48u);
    std::uint64_t parameters = 0;
    for (const gguf::TensorInfo& t : f.tensors()) {
        EXPECT_EQ(t.type, gguf::TensorType::f32) << t.name;
        parameters += t.bytes / 4;
        EXPECT_EQ(gguf::tensorBytes(bytes, f, t).size(), t.bytes);
    }
    const gguf::TensorInfo* embedding = f.tensor("token_embd.weight");
    ASSERT_NE(embedding, nullptr);
    EXPECT_EQ(embedding->dims, (std::vector<std::uint64_t>{64, 512}));
    EXPECT_EQ(f.tensor("blk.4.ffn_down.weight")->dims, (std::vector<std::uint64_t>{172, 64}));
    EXPECT_EQ(parameters, 260032u + 64u * 512u);  // with the tied classifier stored again
}

}  // namespace
