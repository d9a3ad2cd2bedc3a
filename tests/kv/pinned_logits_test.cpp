#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/models.hpp"

using namespace tarvel_test;

namespace {

// Logits are pinned to their exact bit patterns: any change to the order of an accumulation or
// to a rounding point shows up here, however small. Each pass is pinned by a few single logits
// and by a checksum over the bit patterns of all its logits.
struct PinnedPass {
    std::uint64_t first;  // the first logit of the pass' last position
    std::uint64_t last;   // the last logit of the pass' last position
    std::uint64_t all;    // checksum64 over every logit's bit pattern, little-endian
};

struct PinnedCase {
    const char* name;
    std::function<std::shared_ptr<const TransformerModel>()> model;
    std::vector<std::uint32_t> prefill;
    std::uint32_t decode;
    bool double_precision;
    PinnedPass prefill_pins;
    PinnedPass decode_pins;
    PinnedPass forward_pins;
};

std::shared_ptr<const TransformerModel> groupedFixture() {
    return fixtureModel(fixtureSpec(true, 3), 5.0);
}

// Widths that leave partial tiles everywhere, and the untied GELU path.
std::shared_ptr<const TransformerModel> oddWidths() {
    TransformerSpec spec = smallSpec(2, 3, 1, 4, FeedForwardKind::gelu, false, 16, 37);
    spec.ffn_dim = 29;
    return makeModel(spec, 2.5);
}

std::string hex(std::uint64_t bits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(bits));
    return text;
}

void expectPinned(const Tensor& logits, const PinnedPass& pins) {
    const std::uint64_t width = logits.shape[1];
    const std::uint64_t vocabulary = logits.shape[2];
    std::vector<std::uint8_t> bytes;
    for (const double value : logits.data) writeF64(bytes, value);
    const PinnedPass actual{
        std::bit_cast<std::uint64_t>(at(logits, {0, width - 1, 0})),
        std::bit_cast<std::uint64_t>(at(logits, {0, width - 1, vocabulary - 1})),
        checksum64(bytes.data(), bytes.size()),
    };
    EXPECT_EQ(hex(actual.first), hex(pins.first));
    EXPECT_EQ(hex(actual.last), hex(pins.last));
    EXPECT_EQ(hex(actual.all), hex(pins.all));
}

TEST(PinnedLogits, PrefillDecodeAndFullPassKeepTheirBitPatterns) {
    const std::vector<PinnedCase> cases = {
        {"grouped fixture, float32",
         groupedFixture,
         {3, 1, 4, 1, 5},
         9,
         false,
         {0xbfd3d00d40000000, 0x3fdbdc8dc0000000, 0xb8b0d59925a31159},
         {0x3f918fece0000000, 0xbfb1a40f20000000, 0x23e2717881fb684e},
         {0x3f918fece0000000, 0xbfb1a40f20000000, 0x775a9ef4abec7810}},
        {"grouped fixture, double",
         groupedFixture,
         {3, 1, 4, 1, 5},
         9,
         true,
         {0xbfd3d00d4fb8ae0e, 0x3fdbdc8db357c5b0, 0x3a1d46dcb46a6109},
         {0x3f918feb9e72b9ff, 0xbfb1a40efbad5772, 0xb4f1fc0866fe6e5b},
         {0x3f918feb9e72b9ff, 0xbfb1a40efbad5772, 0x9de2c5c825af3bf9}},
        {"odd widths, float32",
         oddWidths,
         {30, 2, 17, 8, 36, 0, 11},
         23,
         false,
         {0xbfe3e74700000000, 0x3fe56c2560000000, 0x12a72922ce466e9f},
         {0x3fe8e47140000000, 0xbfed311b60000000, 0xaeebc39e3d70d816},
         {0x3fe8e47140000000, 0xbfed311b60000000, 0xe6c8a130c85d265a}},
        {"odd widths, double",
         oddWidths,
         {30, 2, 17, 8, 36, 0, 11},
         23,
         true,
         {0xbfe3e7470c51c10c, 0x3fe56c255f4dfa9a, 0x2f736466e09bd312},
         {0x3fe8e4715557c971, 0xbfed311b903391fd, 0x8475b6abbb9b69bf},
         {0x3fe8e4715557c971, 0xbfed311b903391fd, 0x4400ab1e056bb7ca}},
    };
    for (const PinnedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto model = c.model();
        TransformerKvSession session(model, 1);
        TransformerKvOptions options;
        options.double_precision = c.double_precision;
        {
            SCOPED_TRACE("prefill");
            expectPinned(forwardCached(fixtureBatch(c.prefill), session, options).logits,
                         c.prefill_pins);
        }
        {
            SCOPED_TRACE("decode");
            expectPinned(forwardCached(fixtureBatch({c.decode}), session, options).logits,
                         c.decode_pins);
        }
        std::vector<std::uint32_t> sequence = c.prefill;
        sequence.push_back(c.decode);
        SCOPED_TRACE("full pass");
        expectPinned(transformerForward(model->spec(), model->weights(), fixtureBatch(sequence),
                                        ForwardOptions{c.double_precision, {}, true}),
                     c.forward_pins);
    }
}

}  // namespace
