// The safetensors header and index readers: one case per refusal, each with its message.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fixture_checkpoints.hpp"
#include "support/expect_throw.hpp"
#include "tarvel/checkpoint/safetensors.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

std::vector<std::uint8_t> withHeader(const std::string& header, std::size_t data_bytes) {
    std::vector<std::uint8_t> file;
    for (int i = 0; i < 8; ++i) file.push_back(static_cast<std::uint8_t>(header.size() >> (8 * i)));
    file.insert(file.end(), header.begin(), header.end());
    file.resize(file.size() + data_bytes, 0);
    return file;
}

struct HeaderCase {
    const char* label;
    std::vector<std::uint8_t> file;
    const char* message;
};

TEST(SafetensorsHeader, RefusesEachFaultWithItsMessage) {
    std::vector<std::uint8_t> long_length(16, 0);
    long_length[0] = 9;  // 9 header bytes in a 16-byte file
    std::vector<std::uint8_t> huge_length(16, 0xff);
    const std::string ok = R"("a": {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]})";
    const std::vector<HeaderCase> cases = {
        {"short", std::vector<std::uint8_t>(7, 0),
         "f: file is shorter than the 8-byte header length"},
        {"beyond", long_length, "f: header length 9 exceeds the file"},
        {"limit", huge_length,
         "f: header length 18446744073709551615 exceeds the limit of 100000000 bytes"},
        {"json", withHeader("{\"a\": ", 0), "f: header is not well-formed JSON"},
        {"object", withHeader("[1, 2]", 0), "f: header is not a JSON object"},
        {"twice", withHeader("{" + ok + ", " + ok + "}", 8),
         "f: tensor a appears twice in the header"},
        {"first repeat", withHeader(R"({"b": 1, "a": 1, "a": 1, "b": 1})", 0),
         "f: tensor a appears twice in the header"},
        {"metadata", withHeader(R"({"__metadata__": {"k": 1}})", 0),
         "f: __metadata__ is not an object of strings"},
        {"entry", withHeader(R"({"a": 3})", 0), "f: tensor a has an entry that is not an object"},
        {"no dtype", withHeader(R"({"a": {"shape": [2], "data_offsets": [0, 8]}})", 8),
         "f: tensor a has no dtype"},
        {"dtype",
         withHeader(R"({"a": {"dtype": "F128", "shape": [2], "data_offsets": [0, 8]}})", 8),
         "f: tensor a has unknown dtype F128"},
        {"shape",
         withHeader(R"({"a": {"dtype": "F32", "shape": [-2], "data_offsets": [0, 8]}})", 8),
         "f: tensor a has an invalid shape"},
        {"offsets",
         withHeader(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [8, 0]}})", 8),
         "f: tensor a has invalid data_offsets"},
        {"outside",
         withHeader(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]}})", 7),
         "f: tensor a has data offsets outside the file"},
        {"overflow",
         withHeader(
             R"({"a": {"dtype": "F64", "shape": [4294967296, 4294967296], "data_offsets": [0, 8]}})",
             8),
         "f: tensor a has a shape whose size overflows"},
        {"length",
         withHeader(R"({"a": {"dtype": "F32", "shape": [3], "data_offsets": [0, 8]}})", 8),
         "f: tensor a holds 8 bytes but its shape and dtype need 12"},
        {"overlap",
         withHeader(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]},
                        "e": {"dtype": "F32", "shape": [0], "data_offsets": [4, 4]},
                        "b": {"dtype": "F32", "shape": [1], "data_offsets": [4, 8]}})",
                    8),
         "f: tensors a and b overlap"},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THROW_MSG(parseSafetensorsHeader(c.file, "f"), std::invalid_argument, c.message);
    }
}

// n empty tensors, without the closing brace.
std::string emptyEntries(std::uint64_t n) {
    std::string text = "{";
    for (std::uint64_t i = 0; i < n; ++i) {
        text += (i == 0 ? "\"t" : ", \"t") + std::to_string(i) +
                R"(": {"dtype": "F32", "shape": [0], "data_offsets": [0, 0]})";
    }
    return text;
}

TEST(SafetensorsHeader, RefusesMoreTensorsThanTheLimitWhereTheCountIsPassed) {
    const auto at_limit =
        withHeader(emptyEntries(max_safetensors_tensors) + R"(, "__metadata__": {"k": "v"}})", 0);
    EXPECT_EQ(parseSafetensorsHeader(at_limit, "f").tensors.size(), max_safetensors_tensors);
    // Never closed: the entry past the limit is refused where it is met.
    EXPECT_THROW_MSG(
        parseSafetensorsHeader(withHeader(emptyEntries(max_safetensors_tensors + 1), 0), "f"),
        std::invalid_argument, "f: header lists more than 100000 tensors");
}

TEST(SafetensorsHeader, ReadsEntriesInOffsetOrderAndSkipsMetadata) {
    const auto file = withHeader(R"({"__metadata__": {"format": "pt"},
        "b": {"dtype": "BF16", "shape": [2, 1], "data_offsets": [8, 12]},
        "a": {"dtype": "F64", "shape": [1], "data_offsets": [0, 8]},
        "z": {"dtype": "I64", "shape": [0], "data_offsets": [12, 12]}})",
                                 12);
    const SafetensorsHeader header = parseSafetensorsHeader(file, "f");
    ASSERT_EQ(header.tensors.size(), 3u);
    EXPECT_EQ(header.tensors[0].name, "a");
    EXPECT_EQ(header.tensors[1].name, "b");
    EXPECT_EQ(header.tensors[1].shape, (std::vector<std::uint64_t>{2, 1}));
    EXPECT_EQ(header.tensors[2].dtype, "I64");
    EXPECT_EQ(header.data_offset, file.size() - 12);
}

TEST(SafetensorsValues, WidenEachDtypeExactly) {
    // Every dtype, including F16 subnormals and values that need the whole mantissa.
    const std::vector<double> values = {
        0.0, -0.0, 1.0, -2.5, 0.1015625, 65504.0, std::ldexp(1.0, -24), std::ldexp(3.0, -20)};
    for (const std::string dtype : {"F64", "F32", "F16"}) {
        std::vector<std::uint8_t> bytes;
        for (const double v : values) tarvel_test::appendValue(bytes, dtype, v);
        std::vector<double> out(values.size());
        widenValues(bytes, dtype, out);
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(out[i], values[i]) << dtype << " " << i;
            EXPECT_EQ(std::signbit(out[i]), std::signbit(values[i]));
        }
    }
    // BF16: the upper half of a float32; 0x3F81 is 1 + 2^-7, 0xC2F7 is -123.5.
    const std::vector<std::uint8_t> bf16 = {0x81, 0x3f, 0xf7, 0xc2, 0x80, 0x7f};
    std::vector<double> out(3);
    widenValues(bf16, "BF16", out);
    EXPECT_EQ(out[0], 1.0 + 1.0 / 128.0);
    EXPECT_EQ(out[1], -123.5);
    EXPECT_TRUE(std::isinf(out[2]));
    // F16 specials stay special, so the importer can refuse them.
    const std::vector<std::uint8_t> f16 = {0x00, 0x7c, 0x01, 0x7e};
    std::vector<double> specials(2);
    widenValues(f16, "F16", specials);
    EXPECT_TRUE(std::isinf(specials[0]));
    EXPECT_TRUE(std::isnan(specials[1]));
}

struct IndexCase {
    std::string text;
    const char* message;
};

TEST(SafetensorsIndex, RefusesEachFaultWithItsMessage) {
    const std::vector<IndexCase> cases = {
        {"{", "i: index is not well-formed JSON"},
        {"[]", "i: index is not a JSON object"},
        {R"({"metadata": {}})", "i: weight_map is missing or not an object"},
        {R"({"weight_map": {}})", "i: weight_map is empty"},
        {R"({"weight_map": {"a": "../model-1.safetensors"}})",
         "i: weight_map entry a does not name a .safetensors file in the checkpoint folder"},
        {R"({"weight_map": {"a": "sub/model.safetensors"}})",
         "i: weight_map entry a does not name a .safetensors file in the checkpoint folder"},
        {R"({"weight_map": {"a": "model.bin"}})",
         "i: weight_map entry a does not name a .safetensors file in the checkpoint folder"},
        {R"({"weight_map": {"a": 7}})",
         "i: weight_map entry a does not name a .safetensors file in the checkpoint folder"},
        {R"({"weight_map": )" + std::string(64, '['), "i: index nests deeper than 64 levels"},
    };
    for (const IndexCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_THROW_MSG(parseSafetensorsIndex(c.text, "i"), std::invalid_argument, c.message);
    }
    const auto map = parseSafetensorsIndex(
        R"({"metadata": {"total_size": 8}, "weight_map": {"a": "m-1.safetensors", "b": "m-2.safetensors"}})",
        "i");
    EXPECT_EQ(map.at("b"), "m-2.safetensors");

    // Four values besides the zeros: a million in all is read, one more is refused.
    const auto withZeros = [](int zeros) {
        std::string text = R"({"weight_map": {"a": "m.safetensors"}, "x": [0)";
        for (int i = 1; i < zeros; ++i) text += ",0";
        return text + "]}";
    };
    EXPECT_EQ(parseSafetensorsIndex(withZeros(999996), "i").size(), 1u);
    EXPECT_THROW_MSG(parseSafetensorsIndex(withZeros(999997), "i"), std::invalid_argument,
                     "i: index holds more than 1000000 JSON values");
}

}  // namespace
