#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/expect_throw.hpp"
#include "tarvel/format/container.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

// Appends one tensor's payload bytes through `encode` and fills the record's offset,
// byte_count and checksum from what was appended.
template <typename Encode>
void appendPayloadTensor(ByteBuffer& payload, ArtifactTensorRecord& record, Encode&& encode) {
    const std::size_t start = payload.size();
    record.offset = start;
    encode(payload);
    record.byte_count = payload.size() - start;
    record.checksum = checksum64(payload.data() + start, payload.size() - start);
}

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view snapshot_magic = "TARVCTS1";
constexpr std::string_view model_magic = "TARVCTM1";
constexpr std::uint64_t fingerprint = 0x5F755F03BC276727u;
constexpr std::uint64_t two_to_32 = std::uint64_t{1} << 32;

ArtifactLimits defaultLimits() {
    return {1073741824, 16777216, 536870912, 100000, 8, 1048576, 1048576, 536870912};
}

// Header, manifest and table, in the order a container reader runs them.
struct ReadBack {
    ArtifactHeader header;
    ArtifactManifest manifest;
    std::uint64_t manifest_end = 0;
};

ReadBack readAll(const ByteBuffer& file, const ArtifactLimits& limits,
                 std::string_view magic = snapshot_magic) {
    const ArtifactHeader header = readArtifactHeader(file, magic, limits);
    ArtifactReader reader{file, artifact_header_bytes, header.payload_offset};
    ArtifactManifest manifest = readArtifactManifest(reader, limits);
    validateTensorTable(manifest.tensors, header.payload_bytes, limits);
    return {header, std::move(manifest), reader.next};
}

struct Sample {
    std::vector<ArtifactTensorRecord> records;
    ByteBuffer manifest;
    ByteBuffer payload;
    ByteBuffer file;
};

// Three tensors, one of each dtype, bound to a tokenizer.
Sample validSample(std::string_view magic = snapshot_magic) {
    Sample s;
    s.records = {
        {"weights", 1, {2, 3}, 0, 0, 0}, {"tokens", 2, {4}, 0, 0, 0}, {"state", 3, {5}, 0, 0, 0}};
    appendPayloadTensor(s.payload, s.records[0], [](ByteBuffer& p) {
        for (int i = 0; i < 6; ++i) writeF64(p, 0.25 * i - 1.0);
    });
    appendPayloadTensor(s.payload, s.records[1], [](ByteBuffer& p) {
        for (std::uint32_t t : {7u, 0u, 4294967295u, 3u}) writeU32(p, t);
    });
    appendPayloadTensor(s.payload, s.records[2], [](ByteBuffer& p) {
        for (const char c : std::string_view("hello")) writeU8(p, static_cast<std::uint8_t>(c));
    });
    s.manifest = writeManifest(s.records, fingerprint, std::string("tok-v1"));
    s.file = writeArtifact(magic, s.manifest, s.payload);
    return s;
}

void patchU64(ByteBuffer& file, std::size_t offset, std::uint64_t value) {
    storeLittleEndian(file.data() + offset, value, 8);
}

void reseal(ByteBuffer& file) {
    patchU64(file, artifact_checksum_offset, artifactGlobalChecksum(file));
}

// A container whose payload is `payload_bytes` zeros and whose table is `records`.
ByteBuffer fileWithTable(const std::vector<ArtifactTensorRecord>& records,
                         std::uint64_t payload_bytes) {
    return writeArtifact(snapshot_magic, writeManifest(records, fingerprint, std::nullopt),
                         ByteBuffer(payload_bytes, 0));
}

// A Bytes tensor covering [offset, offset + count).
ArtifactTensorRecord bytesRecord(std::string name, std::uint64_t offset, std::uint64_t count) {
    return {std::move(name), 3, {count}, offset, count, 0};
}

std::vector<ArtifactTensorRecord> recordsOfRank(std::uint32_t rank) {
    return {{"t", 3, std::vector<std::uint64_t>(rank, 1), 0, 1, 0}};
}

std::vector<ArtifactTensorRecord> namedRecords(std::uint32_t count) {
    std::vector<ArtifactTensorRecord> records;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string name(1, 't');
        name += std::to_string(i);
        records.push_back(bytesRecord(std::move(name), 0, 0));
    }
    return records;
}

TEST(Container, WritesTheDocumentedLayoutAndReadsItBack) {
    const Sample s = validSample();
    ASSERT_EQ(s.file.size(), 40 + s.manifest.size() + s.payload.size());
    const ByteBuffer fixed_header{'T', 'A', 'R',  'V',  'C', 'T', 'S', '1',
                                  1,   0,   0x45, 0x4C, 0,   0,   0,   0};
    EXPECT_EQ(ByteBuffer(s.file.begin(), s.file.begin() + 16), fixed_header);
    ArtifactReader stored{s.file, 16, 40};
    EXPECT_EQ(readU64(stored), s.manifest.size());
    EXPECT_EQ(readU64(stored), s.payload.size());
    EXPECT_EQ(readU64(stored), artifactGlobalChecksum(s.file));
    const auto payload_at = s.file.begin() + static_cast<std::ptrdiff_t>(40 + s.manifest.size());
    EXPECT_EQ(ByteBuffer(s.file.begin() + 40, payload_at), s.manifest);
    EXPECT_EQ(ByteBuffer(payload_at, s.file.end()), s.payload);

    EXPECT_EQ(s.records[1].offset, 48u);
    EXPECT_EQ(s.records[1].byte_count, 16u);
    EXPECT_EQ(s.records[2].checksum, checksum64(s.payload.data() + 64, 5));

    const ReadBack back = readAll(s.file, defaultLimits());
    EXPECT_EQ(back.header.manifest_bytes, s.manifest.size());
    EXPECT_EQ(back.header.payload_bytes, 48u + 16u + 5u);
    EXPECT_EQ(back.header.payload_offset, 40 + s.manifest.size());
    EXPECT_EQ(back.manifest_end, back.header.payload_offset);
    EXPECT_EQ(back.manifest.spec_fingerprint, fingerprint);
    EXPECT_EQ(back.manifest.tokenizer_identity, std::optional<std::string>("tok-v1"));
    ASSERT_EQ(back.manifest.tensors.size(), s.records.size());
    for (std::size_t i = 0; i < s.records.size(); ++i) {
        const ArtifactTensorRecord& a = back.manifest.tensors[i];
        const ArtifactTensorRecord& b = s.records[i];
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.dtype, b.dtype);
        EXPECT_EQ(a.shape, b.shape);
        EXPECT_EQ(a.offset, b.offset);
        EXPECT_EQ(a.byte_count, b.byte_count);
        EXPECT_EQ(a.checksum, b.checksum);
    }
}

TEST(Container, ManifestReaderStopsBeforeTheCallersTail) {
    const std::vector<ArtifactTensorRecord> records = {bytesRecord("a", 0, 2)};
    ByteBuffer manifest = writeManifest(records, fingerprint, std::nullopt);
    const std::uint64_t prefix = manifest.size();
    writeU64(manifest, 0xFFFFFFFFFFFFFFFFu);  // a kind-specific tail
    const ByteBuffer file = writeArtifact(model_magic, manifest, ByteBuffer{1, 2});
    const ReadBack back = readAll(file, defaultLimits(), model_magic);
    EXPECT_EQ(back.manifest_end, 40 + prefix);
    EXPECT_FALSE(back.manifest.tokenizer_identity.has_value());
}

struct Rejected {
    const char* what;
    ByteBuffer file;
    ArtifactLimits limits;
    const char* message;
    std::string_view magic = snapshot_magic;
};

// One or more cases per container message, in the order the reader checks them; where a file
// holds two faults, the earlier check must win.
std::vector<Rejected> rejectedFiles() {
    const ArtifactLimits limits = defaultLimits();
    const Sample s = validSample();
    auto edit = [&](const std::function<void(ByteBuffer&)>& change) {
        ByteBuffer file = s.file;
        change(file);
        return file;
    };
    auto with = [&](const std::function<void(ArtifactLimits&)>& change) {
        ArtifactLimits l = limits;
        change(l);
        return l;
    };
    auto manifestFile = [](const std::function<void(ByteBuffer&)>& build, ByteBuffer payload) {
        ByteBuffer manifest;
        build(manifest);
        return writeArtifact(snapshot_magic, manifest, payload);
    };
    const std::uint64_t manifest_bytes = s.manifest.size();
    const std::size_t payload_at = 40 + s.manifest.size();

    return {
        {"file over the size limit", s.file,
         with([&](ArtifactLimits& l) { l.max_file_bytes = s.file.size() - 1; }),
         "artifact exceeds file size limit"},
        {"size limit before short header", ByteBuffer(20, 0),
         with([](ArtifactLimits& l) { l.max_file_bytes = 10; }),
         "artifact exceeds file size limit"},
        {"39 bytes", ByteBuffer(s.file.begin(), s.file.begin() + 39), limits,
         "truncated artifact header"},
        {"model artifact where a snapshot is expected", validSample(model_magic).file, limits,
         "artifact magic mismatch"},
        {"snapshot where a model artifact is expected", s.file, limits, "artifact magic mismatch",
         model_magic},
        {"magic before version", edit([](ByteBuffer& f) {
             f[0] = 'X';
             f[8] = 2;
         }),
         limits, "artifact magic mismatch"},
        {"version 2", edit([](ByteBuffer& f) { f[8] = 2; }), limits, "unknown artifact version"},
        {"version 256", edit([](ByteBuffer& f) { f[9] = 1; }), limits, "unknown artifact version"},
        {"big-endian marker", edit([](ByteBuffer& f) { std::swap(f[10], f[11]); }), limits,
         "artifact endian mismatch"},
        {"reserved high byte", edit([](ByteBuffer& f) { f[15] = 0x80; }), limits,
         "artifact reserved header is nonzero"},
        {"manifest over its limit", s.file,
         with([&](ArtifactLimits& l) { l.max_manifest_bytes = manifest_bytes - 1; }),
         "artifact manifest exceeds limit"},
        {"manifest limit before lengths", edit([](ByteBuffer& f) { patchU64(f, 16, 1u << 30); }),
         limits, "artifact manifest exceeds limit"},
        {"manifest plus payload overflows", edit([](ByteBuffer& f) {
             patchU64(f, 16, max_u64);
             patchU64(f, 24, 1);
         }),
         with([](ArtifactLimits& l) { l.max_manifest_bytes = max_u64; }),
         "artifact offset overflows"},
        {"header plus the rest overflows", edit([](ByteBuffer& f) {
             patchU64(f, 16, max_u64 - 50);
             patchU64(f, 24, 11);
         }),
         with([](ArtifactLimits& l) { l.max_manifest_bytes = max_u64; }),
         "artifact offset overflows"},
        {"one byte appended", edit([](ByteBuffer& f) { f.push_back(0); }), limits,
         "artifact lengths do not match file"},
        {"payload length one short", edit([&](ByteBuffer& f) {
             patchU64(f, 24, s.payload.size() - 1);
             reseal(f);
         }),
         limits, "artifact lengths do not match file"},
        {"payload byte flipped", edit([&](ByteBuffer& f) { f[payload_at + 3] ^= 1; }), limits,
         "artifact global checksum mismatch"},
        {"manifest byte flipped", edit([](ByteBuffer& f) { f[41] ^= 0x10; }), limits,
         "artifact global checksum mismatch"},
        {"stored checksum changed", edit([](ByteBuffer& f) { f[39] ^= 1; }), limits,
         "artifact global checksum mismatch"},
        {"empty manifest", writeArtifact(snapshot_magic, {}, {}), limits,
         "truncated transformer artifact"},
        {"tokenizer identity runs into the payload",
         manifestFile(
             [](ByteBuffer& m) {
                 writeU64(m, fingerprint);
                 writeU8(m, 1);
                 writeU32(m, 10);
                 writeU8(m, 'x');
             },
             ByteBuffer(64, 0)),
         limits, "truncated transformer artifact"},
        {"fewer records than counted",
         manifestFile(
             [](ByteBuffer& m) {
                 m = writeManifest({bytesRecord("a", 0, 1)}, fingerprint, std::nullopt);
                 m[9] = 2;  // count
             },
             ByteBuffer(64, 0)),
         limits, "truncated transformer artifact"},
        {"tokenizer flag 2",
         manifestFile(
             [](ByteBuffer& m) {
                 writeU64(m, fingerprint);
                 writeU8(m, 2);
                 writeU32(m, 0);
             },
             {}),
         limits, "invalid tokenizer binding flag"},
        {"count one over the limit", fileWithTable(namedRecords(4), 0),
         with([](ArtifactLimits& l) { l.max_tensor_count = 3; }),
         "artifact tensor count exceeds limit"},
        {"count over the limit with no records present",
         manifestFile(
             [](ByteBuffer& m) {
                 writeU64(m, fingerprint);
                 writeU8(m, 0);
                 writeU32(m, 0xFFFFFFFFu);
             },
             {}),
         limits, "artifact tensor count exceeds limit"},
        {"rank 0", fileWithTable(recordsOfRank(0), 1), limits,
         "artifact tensor rank exceeds limit"},
        {"rank one over the limit", fileWithTable(recordsOfRank(9), 1), limits,
         "artifact tensor rank exceeds limit"},
        {"empty name", fileWithTable({bytesRecord("", 0, 1)}, 1), limits,
         "artifact tensor has empty name"},
        {"empty name before unknown dtype", fileWithTable({{"", 9, {1}, 0, 1, 0}}, 1), limits,
         "artifact tensor has empty name"},
        {"duplicated name", fileWithTable({bytesRecord("a", 0, 1), bytesRecord("a", 1, 1)}, 2),
         limits, "artifact tensor name is duplicated"},
        {"duplicate before unknown dtype",
         fileWithTable({bytesRecord("a", 0, 1), {"a", 0, {1}, 1, 1, 0}}, 2), limits,
         "artifact tensor name is duplicated"},
        {"dtype 0", fileWithTable({{"a", 0, {1}, 0, 1, 0}}, 1), limits,
         "artifact has unknown dtype"},
        {"dtype 4 before shape overflow",
         fileWithTable({{"a", 4, {two_to_32, two_to_32}, 0, 0, 0}}, 0), limits,
         "artifact has unknown dtype"},
        {"shape overflows", fileWithTable({{"a", 3, {two_to_32, two_to_32}, 0, 0, 0}}, 0), limits,
         "artifact tensor shape overflows"},
        {"byte count one short", fileWithTable({{"a", 1, {2}, 0, 15, 0}}, 16), limits,
         "artifact tensor byte count mismatch"},
        {"elements times size overflows",
         fileWithTable({{"a", 1, {std::uint64_t{1} << 61}, 0, 0, 0}}, 0), limits,
         "artifact tensor byte count mismatch"},
        {"byte count mismatch before size limit", fileWithTable({{"a", 2, {9}, 0, 32, 0}}, 32),
         with([](ArtifactLimits& l) { l.max_tensor_bytes = 8; }),
         "artifact tensor byte count mismatch"},
        {"tensor over the size limit", fileWithTable({bytesRecord("a", 0, 9)}, 9),
         with([](ArtifactLimits& l) { l.max_tensor_bytes = 8; }),
         "artifact tensor exceeds size limit"},
        {"size limit before range", fileWithTable({bytesRecord("a", 100, 9)}, 9),
         with([](ArtifactLimits& l) { l.max_tensor_bytes = 8; }),
         "artifact tensor exceeds size limit"},
        {"range end overflows", fileWithTable({bytesRecord("a", max_u64 - 3, 4)}, 8), limits,
         "artifact offset overflows"},
        {"range one past the payload", fileWithTable({bytesRecord("a", 5, 4)}, 8), limits,
         "artifact tensor range exceeds payload"},
        {"empty range past the payload", fileWithTable({bytesRecord("a", 9, 0)}, 8), limits,
         "artifact tensor range exceeds payload"},
        {"range fault in a later record before overlap",
         fileWithTable({bytesRecord("a", 0, 4), bytesRecord("b", 2, 4), bytesRecord("c", 8, 4)}, 8),
         limits, "artifact tensor range exceeds payload"},
        {"empty range inside another",
         fileWithTable({bytesRecord("a", 0, 10), bytesRecord("b", 5, 0)}, 10), limits,
         "artifact tensor ranges overlap"},
        {"[0,8) then [4,12)", fileWithTable({bytesRecord("a", 0, 8), bytesRecord("b", 4, 8)}, 12),
         limits, "artifact tensor ranges overlap"},
        {"[4,12) then [0,8)", fileWithTable({bytesRecord("a", 4, 8), bytesRecord("b", 0, 8)}, 12),
         limits, "artifact tensor ranges overlap"},
        {"same offset, different ends",
         fileWithTable({bytesRecord("a", 2, 6), bytesRecord("b", 2, 1)}, 12), limits,
         "artifact tensor ranges overlap"},
    };
}

TEST(Container, RejectsEachFaultWithItsMessage) {
    for (const Rejected& c : rejectedFiles()) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW_MSG(readAll(c.file, c.limits, c.magic), ArtifactError, c.message);
    }
}

TEST(Container, AcceptsTheBoundaryCases) {
    const ArtifactLimits limits = defaultLimits();
    ArtifactLimits small = limits;
    small.max_tensor_count = 3;
    small.max_tensor_bytes = 16;
    const struct {
        const char* what;
        ByteBuffer file;
        ArtifactLimits limits;
    } cases[] = {
        {"count equal to the limit", fileWithTable(namedRecords(3), 0), small},
        {"no tensors", fileWithTable({}, 0), limits},
        {"rank equal to the limit", fileWithTable(recordsOfRank(8), 1), limits},
        {"shapes [0] and [3,0,5] hold no bytes",
         fileWithTable({{"a", 1, {0}, 0, 0, 0}, {"b", 2, {3, 0, 5}, 0, 0, 0}}, 0), limits},
        {"byte_count equal to the size limit", fileWithTable({bytesRecord("a", 0, 16)}, 16), small},
        {"[0,10) and [10,10)",
         fileWithTable({bytesRecord("a", 0, 10), bytesRecord("b", 10, 0)}, 10), limits},
        {"two empty ranges at one offset",
         fileWithTable({bytesRecord("a", 4, 0), bytesRecord("b", 4, 0)}, 10), limits},
        // Ties sort by end, so an empty range at the start of another touches nothing.
        {"empty range at the start of another",
         fileWithTable({bytesRecord("a", 4, 4), bytesRecord("b", 4, 0)}, 10), limits},
        {"offsets falling with gaps and uncovered bytes",
         fileWithTable({bytesRecord("a", 20, 4), bytesRecord("b", 0, 3), bytesRecord("c", 9, 2)},
                       30),
         limits},
        {"names differing only in case",
         fileWithTable({bytesRecord("a", 0, 1), bytesRecord("A", 1, 1)}, 2), limits},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NO_THROW(readAll(c.file, c.limits));
    }

    // Manifest and payload both empty: the header passes and the manifest is what is short.
    const ByteBuffer bare = writeArtifact(snapshot_magic, {}, {});
    ASSERT_EQ(bare.size(), 40u);
    const ArtifactHeader header = readArtifactHeader(bare, snapshot_magic, limits);
    EXPECT_EQ(header.payload_offset, 40u);
    ArtifactReader reader{bare, 40, header.payload_offset};
    EXPECT_THROW_MSG(readArtifactManifest(reader, limits), ArtifactError,
                     "truncated transformer artifact");
}

TEST(Container, EveryTruncationIsRejected) {
    const Sample s = validSample();
    const ArtifactLimits limits = defaultLimits();
    for (std::size_t length = 0; length < s.file.size(); ++length) {
        SCOPED_TRACE(length);
        const ByteBuffer cut(s.file.begin(), s.file.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_THROW_MSG(
            readAll(cut, limits), ArtifactError,
            length < 40 ? "truncated artifact header" : "artifact lengths do not match file");
    }
    // A short manifest in an otherwise consistent file: the manifest limit stops the reader
    // even though payload bytes follow.
    for (std::size_t length = 0; length < s.manifest.size(); ++length) {
        SCOPED_TRACE(length);
        const ByteBuffer manifest(s.manifest.begin(),
                                  s.manifest.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_THROW_MSG(readAll(writeArtifact(snapshot_magic, manifest, s.payload), limits),
                         ArtifactError, "truncated transformer artifact");
    }
}

// Duplicates are found without comparing every pair of names, yet reported exactly as a
// record-by-record scan reports them: at the first record whose name an earlier record
// carries, after every fault of the records before it and before the rest of its own checks.
TEST(Container, DuplicateNamesAmongManyRecordsAreReportedInRecordOrder) {
    const ArtifactLimits limits = defaultLimits();
    const std::vector<ArtifactTensorRecord> distinct = namedRecords(100000);
    EXPECT_NO_THROW(validateTensorTable(distinct, 0, limits));

    const auto withName = [](std::vector<ArtifactTensorRecord> records, std::size_t at,
                             const std::string& name) {
        records[at].name = name;
        return records;
    };
    // "x" repeats at 90000 and "y" at 80000, and "z" thrice from 60000: 60000 comes first.
    std::vector<ArtifactTensorRecord> several = distinct;
    several = withName(several, 70000, "x");
    several = withName(several, 90000, "x");
    several = withName(several, 10, "y");
    several = withName(several, 80000, "y");
    several = withName(several, 5, "z");
    several = withName(several, 60000, "z");
    several = withName(several, 61000, "z");
    const struct {
        const char* what;
        std::vector<ArtifactTensorRecord> records;
        const char* message;
    } cases[] = {
        {"last repeats the first", withName(distinct, 99999, "t0"),
         "artifact tensor name is duplicated"},
        {"fault before the first duplicate",
         [&] {
             std::vector<ArtifactTensorRecord> r = several;
             r[59999].dtype = 9;
             return r;
         }(),
         "artifact has unknown dtype"},
        {"duplicate before a later fault",
         [&] {
             std::vector<ArtifactTensorRecord> r = several;
             r[60001].dtype = 9;
             return r;
         }(),
         "artifact tensor name is duplicated"},
        {"empty name where the duplicate would be", withName(several, 60000, ""),
         "artifact tensor has empty name"},
        {"duplicate before its own dtype",
         [&] {
             std::vector<ArtifactTensorRecord> r = several;
             r[60000].dtype = 9;
             return r;
         }(),
         "artifact tensor name is duplicated"},
        {"two empty names: the first is reported as empty",
         withName(withName(distinct, 7, ""), 8, ""), "artifact tensor has empty name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW_MSG(validateTensorTable(c.records, 0, limits), ArtifactError, c.message);
    }
}

}  // namespace
