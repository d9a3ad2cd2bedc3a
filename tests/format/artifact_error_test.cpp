#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarvel/format/container.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

ArtifactLimits limits() {
    return {1073741824, 16777216, 536870912, 100000, 8, 1048576, 1048576, 536870912};
}

// A valid container of one three-element tensor.
ByteBuffer validFile() {
    ByteBuffer payload;
    writeF64s(payload, std::vector<double>{1.0, 2.0, 3.0});
    std::vector<ArtifactTensorRecord> records(1);
    records[0] = {"t", static_cast<std::uint8_t>(ArtifactDType::Float64), {3}, 0,
                  24,  checksum64(payload.data(), payload.size())};
    return writeArtifact("TARVCTM1", writeManifest(records, 7, std::nullopt), payload);
}

void reseal(ByteBuffer& file) {
    storeLittleEndian(file.data() + artifact_checksum_offset, artifactGlobalChecksum(file), 8);
}

void readAll(const ByteBuffer& file, const ArtifactLimits& with) {
    const ArtifactHeader header = readArtifactHeader(file, "TARVCTM1", with);
    ArtifactReader reader{file, artifact_header_bytes, header.payload_offset};
    const ArtifactManifest manifest = readArtifactManifest(reader, with);
    validateTensorTable(manifest.tensors, header.payload_bytes, with);
}

}  // namespace

// Each refusal carries the kind a caller branches on, and is still caught as the
// std::invalid_argument it always was, with its message unchanged.
TEST(ArtifactError, RefusalsCarryTheirKind) {
    struct Case {
        const char* what;
        std::function<void(ByteBuffer&, ArtifactLimits&)> spoil;
        ArtifactErrorKind kind;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"cut short", [](ByteBuffer& f, ArtifactLimits&) { f.resize(20); },
         ArtifactErrorKind::corrupt_bytes, "truncated artifact header"},
        {"payload byte flipped", [](ByteBuffer& f, ArtifactLimits&) { f.back() ^= 1; },
         ArtifactErrorKind::corrupt_bytes, "artifact global checksum mismatch"},
        {"other magic", [](ByteBuffer& f, ArtifactLimits&) { f[0] = 'X'; },
         ArtifactErrorKind::corrupt_bytes, "artifact magic mismatch"},
        {"over the file limit", [](ByteBuffer&, ArtifactLimits& l) { l.max_file_bytes = 10; },
         ArtifactErrorKind::limit_exceeded, "artifact exceeds file size limit"},
        {"over the tensor limit", [](ByteBuffer&, ArtifactLimits& l) { l.max_tensor_bytes = 23; },
         ArtifactErrorKind::limit_exceeded, "artifact tensor exceeds size limit"},
        {"version 2",
         [](ByteBuffer& f, ArtifactLimits&) {
             f[artifact_version_offset] = 2;
             reseal(f);
         },
         ArtifactErrorKind::unsupported_version, "unknown artifact version"},
        {"big-endian marker",
         [](ByteBuffer& f, ArtifactLimits&) {
             storeLittleEndian(f.data() + artifact_endian_offset, 0x454C, 2);
             reseal(f);
         },
         ArtifactErrorKind::unsupported_version, "artifact endian mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ByteBuffer file = validFile();
        ArtifactLimits with = limits();
        ASSERT_NO_THROW(readAll(file, with));
        c.spoil(file, with);
        try {
            readAll(file, with);
            ADD_FAILURE() << "no exception";
        } catch (const ArtifactError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_THROW(readAll(file, with), std::invalid_argument);
    }
}

TEST(ArtifactError, PrimitivesRefuseWithTheirKind) {
    const ByteBuffer bytes{1, 2};
    ArtifactReader reader{bytes, 0, 2};
    try {
        (void)readU32(reader);
        ADD_FAILURE() << "no exception";
    } catch (const ArtifactError& e) {
        EXPECT_EQ(e.kind(), ArtifactErrorKind::corrupt_bytes);
        EXPECT_EQ(std::string(e.what()), "truncated transformer artifact");
    }
    EXPECT_EQ(reader.next, 2u);  // the bytes that were there stay taken
    try {
        (void)checkedAdd(~std::uint64_t{0}, 1);
        ADD_FAILURE() << "no exception";
    } catch (const ArtifactError& e) {
        EXPECT_EQ(e.kind(), ArtifactErrorKind::corrupt_bytes);
        EXPECT_EQ(std::string(e.what()), "artifact offset overflows");
    }
}
