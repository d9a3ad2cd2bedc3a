#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/models.hpp"

using namespace tarvel_test;

namespace {

// The model artifact and a snapshot of a session with tokens and a cache are pinned by their
// global checksums and lengths, so that a faster writer is held to the very same bytes.
TEST(PinnedBytes, ModelArtifactAndSnapshotKeepTheirBytes) {
    TransformerSpec spec = smallSpec(2, 3, 1, 4, FeedForwardKind::gelu, false, 16, 37);
    spec.ffn_dim = 29;
    const auto model = makeModel(spec, 2.5, std::string("tok-v1"));
    EXPECT_EQ(model->artifact_bytes().size(), 31833u);
    EXPECT_EQ(model->artifact_checksum(), 0x2667f74b67193f59u);

    TransformerKvSession session(model, 7);
    (void)forwardCached(fixtureBatch({30, 2, 17, 8, 36}), session, {});
    const std::vector<std::uint8_t> bytes = saveSnapshot(session);
    EXPECT_EQ(bytes.size(), 1168u);
    EXPECT_EQ(artifactGlobalChecksum(bytes), 0x7b32d40efaeb4ddfu);
}

}  // namespace
