#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/expect_throw.hpp"
#include "tarvel/format/encoding.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr const char* truncated = "truncated transformer artifact";

std::uint64_t checksumOf(const std::string& text) {
    return checksum64(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(Checksum64, MatchesGoldenValues) {
    EXPECT_EQ(checksum64(nullptr, 0), 0x14650fb0739d0383u);
    EXPECT_EQ(checksumOf("a"), 0x44bd8ad473cd9906u);
    EXPECT_EQ(checksumOf("abc"), 0xe16801510db89efdu);
}

// Interleaving is only a schedule: each range gets the checksum of its own call, whatever the
// mix of lengths, empty ranges and group sizes.
TEST(Checksum64, EachRangeGetsItsOwnChecksum) {
    ByteBuffer bytes(4000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::vector<std::size_t> lengths = {900, 0, 1, 900, 17, 899, 3, 900, 2, 0, 64};
    std::vector<ByteRange> ranges;
    std::size_t offset = 0;
    for (const std::size_t length : lengths) {
        ranges.push_back({bytes.data() + offset % 2000, length});
        offset += 131;
    }
    std::vector<std::uint64_t> results(ranges.size());
    checksum64Each(ranges, results);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        EXPECT_EQ(results[k], checksum64(ranges[k].first, ranges[k].count)) << k;
    }
}

TEST(Writers, BulkWritersAppendWhatSingleWritesWould) {
    const std::vector<std::uint32_t> ids = {0, 1, 0x01020304u, 0xffffffffu};
    const std::vector<double> values = {0.0, -0.0, 1.5, -3.25e-300, 1e308};
    ByteBuffer single = {9};
    for (const std::uint32_t id : ids) writeU32(single, id);
    for (const double value : values) writeF64(single, value);
    ByteBuffer bulk = {9};
    writeU32s(bulk, ids);
    writeF64s(bulk, values);
    EXPECT_EQ(bulk, single);
}

TEST(Writers, AppendLittleEndianBytes) {
    struct Case {
        const char* what;
        void (*write)(ByteBuffer&);
        ByteBuffer expected;
    };
    const Case cases[] = {
        {"u8", [](ByteBuffer& b) { writeU8(b, 0xA7); }, {0xA7}},
        {"u16", [](ByteBuffer& b) { writeU16(b, 0x4C45); }, {0x45, 0x4C}},
        {"u32", [](ByteBuffer& b) { writeU32(b, 0x01020304); }, {0x04, 0x03, 0x02, 0x01}},
        {"u64",
         [](ByteBuffer& b) { writeU64(b, 0x0102030405060708u); },
         {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {"f64 1.0", [](ByteBuffer& b) { writeF64(b, 1.0); }, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"f64 -inf",
         [](ByteBuffer& b) { writeF64(b, -std::numeric_limits<double>::infinity()); },
         {0, 0, 0, 0, 0, 0, 0xF0, 0xFF}},
        {"string",
         [](ByteBuffer& b) { writeString(b, std::string("a;\0b", 4)); },
         {4, 0, 0, 0, 'a', ';', 0, 'b'}},
        {"empty string", [](ByteBuffer& b) { writeString(b, ""); }, {0, 0, 0, 0}},
        {"bytes",
         [](ByteBuffer& b) {
             const std::uint8_t raw[] = {9, 8, 7};
             writeBytes(b, raw, 3);
         },
         {9, 8, 7}},
    };
    for (const Case& c : cases) {
        ByteBuffer buffer{0xEE};  // writers only append
        c.write(buffer);
        ByteBuffer expected{0xEE};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(buffer, expected) << c.what;
    }
}

TEST(Readers, RoundTripWhatTheWritersWrote) {
    const std::uint64_t nan_bits = 0x7FF8000000000123u;
    ByteBuffer buffer;
    writeU8(buffer, 0xFE);
    writeU16(buffer, 0xBEEF);
    writeU32(buffer, 0xDEADBEEF);
    writeU64(buffer, max_u64 - 1);
    writeF64(buffer, -0.0);
    writeF64(buffer, std::bit_cast<double>(nan_bits));
    writeString(buffer, std::string("x=\0;y", 5));

    ArtifactReader reader{buffer, 0, buffer.size()};
    EXPECT_EQ(readU8(reader), 0xFE);
    EXPECT_EQ(readU16(reader), 0xBEEF);
    EXPECT_EQ(readU32(reader), 0xDEADBEEFu);
    EXPECT_EQ(readU64(reader), max_u64 - 1);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(readF64(reader)), 0x8000000000000000u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(readF64(reader)), nan_bits);
    EXPECT_EQ(readString(reader), std::string("x=\0;y", 5));
    EXPECT_EQ(reader.next, buffer.size());
    EXPECT_THROW_MSG(readU8(reader), ArtifactError, truncated);
}

TEST(Readers, StopAtTheLimitNotAtTheBufferEnd) {
    const ByteBuffer buffer{1, 2, 3, 4, 5, 6, 7, 8};
    ArtifactReader reader{buffer, 2, 5};
    EXPECT_THROW_MSG(readU32(reader), ArtifactError, truncated);
    EXPECT_EQ(reader.next, 5u) << "bytes taken before the fault stay consumed";

    // A limit set past the buffer still never reads outside it.
    ArtifactReader past{buffer, 6, 100};
    EXPECT_THROW_MSG(readU32(past), ArtifactError, truncated);
    const ByteBuffer short_text{2, 0, 0, 0, 'a'};
    ArtifactReader past_string{short_text, 0, 100};
    EXPECT_THROW_MSG(readString(past_string), ArtifactError, truncated);
}

TEST(Readers, EveryWidthThrowsOneByteShort) {
    const ByteBuffer buffer(16, 0xAB);
    struct Case {
        std::uint64_t width;
        void (*read)(ArtifactReader&);
    };
    const Case cases[] = {
        {1, [](ArtifactReader& r) { readU8(r); }},  {2, [](ArtifactReader& r) { readU16(r); }},
        {4, [](ArtifactReader& r) { readU32(r); }}, {8, [](ArtifactReader& r) { readU64(r); }},
        {8, [](ArtifactReader& r) { readF64(r); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        ArtifactReader reader{buffer, 3, 3 + c.width - 1};
        EXPECT_THROW_MSG(c.read(reader), ArtifactError, truncated);
        ArtifactReader exact{buffer, 3, 3 + c.width};
        c.read(exact);
        EXPECT_EQ(exact.next, exact.limit);
    }
}

TEST(Readers, EmptyStringConsumesOnlyItsLength) {
    const ByteBuffer buffer{0, 0, 0, 0, 'z'};
    ArtifactReader reader{buffer, 0, buffer.size()};
    EXPECT_EQ(readString(reader), "");
    EXPECT_EQ(reader.next, 4u);
}

TEST(Readers, StringLongerThanWhatIsLeftTakesNoTextByte) {
    // Length 3 with only two bytes before the limit, though the buffer holds more.
    const ByteBuffer buffer{3, 0, 0, 0, 'a', 'b', 'c'};
    ArtifactReader reader{buffer, 0, 6};
    EXPECT_THROW_MSG(readString(reader), ArtifactError, truncated);
    EXPECT_EQ(reader.next, 4u);

    // A huge length must be refused from the length alone, with nothing allocated for it.
    const ByteBuffer huge{0xFF, 0xFF, 0xFF, 0xFF, 'a'};
    ArtifactReader huge_reader{huge, 0, huge.size()};
    EXPECT_THROW_MSG(readString(huge_reader), ArtifactError, truncated);
}

TEST(CheckedArithmetic, AddAndElementCount) {
    EXPECT_EQ(checkedAdd(max_u64, 0), max_u64);
    EXPECT_EQ(checkedAdd(0, max_u64), max_u64);
    EXPECT_THROW_MSG(checkedAdd(max_u64, 1), ArtifactError, "artifact offset overflows");
    EXPECT_THROW_MSG(checkedAdd(1, max_u64), ArtifactError, "artifact offset overflows");

    struct Case {
        std::vector<std::uint64_t> extents;
        std::uint64_t count;
    };
    const Case counts[] = {
        {{}, 1},
        {{0, std::uint64_t{1} << 63, 4}, 0},
        {{5, 0, max_u64, max_u64}, 0},
        {{3, 4, 5}, 60},
        {{max_u64}, max_u64},
        {{std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1}, max_u64 - (max_u64 >> 32)},
    };
    for (const Case& c : counts) EXPECT_EQ(checkedElementCount(c.extents), c.count);

    const std::vector<std::vector<std::uint64_t>> overflows = {
        {std::uint64_t{1} << 32, std::uint64_t{1} << 32},
        {2, std::uint64_t{1} << 63},
        {max_u64, 2, 0},  // the zero comes too late to save the product
    };
    for (const auto& extents : overflows) {
        EXPECT_THROW_MSG(checkedElementCount(extents), ArtifactError,
                         "artifact tensor shape overflows");
    }
}

TEST(GlobalChecksum, IgnoresExactlyTheStoredChecksumBytes) {
    ByteBuffer file(64);
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 37);
    const std::uint64_t base = artifactGlobalChecksum(file);

    ByteBuffer zeroed = file;
    for (std::size_t i = 32; i < 40; ++i) zeroed[i] = 0;
    EXPECT_EQ(base, checksum64(zeroed.data(), zeroed.size()));

    for (std::size_t i = 0; i < file.size(); ++i) {
        ByteBuffer changed = file;
        changed[i] ^= 0x5A;
        const bool stored = i >= 32 && i < 40;
        EXPECT_EQ(artifactGlobalChecksum(changed) == base, stored) << "byte " << i;
    }
}

}  // namespace
