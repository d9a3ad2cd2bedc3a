#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/specs.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

// Any shape and storage a caller could hand over, consistent or not.
Tensor logitsOf(std::vector<std::uint64_t> shape, std::vector<double> values) {
    Tensor t;
    t.shape = std::move(shape);
    t.data = std::move(values);
    return t;
}

TEST(Helpers, ArgmaxTokenPicksTheRowsLargestLogitAndTheLowestIdAmongEquals) {
    const Tensor logits = logitsOf({1, 3, 4}, {0.5, -1.0, 2.0, 2.0,     // tie: id 2 wins
                                               -3.0, -2.0, -1.0, -4.0,  // all negative: id 2
                                               7.0, 1.0, 1.0, 1.0});    // first: id 0
    EXPECT_EQ(argmaxToken(logits, 0), 2u);
    EXPECT_EQ(argmaxToken(logits, 1), 2u);
    EXPECT_EQ(argmaxToken(logits, 2), 0u);
    EXPECT_THROW_MSG(argmaxToken(logits, 3), std::out_of_range, "logits position out of range");
}

TEST(Helpers, ArgmaxTokenRefusesTensorsThatAreNotLogits) {
    const std::vector<Tensor> bad = {
        logitsOf({3, 4}, std::vector<double>(12)),             // rank 2
        logitsOf({1, 2, 4}, std::vector<double>(7)),           // storage shorter than the shape
        logitsOf({1, 2, 4}, std::vector<double>(9)),           // storage longer than the shape
        logitsOf({1, 0, 4}, {}),                               // no positions
        logitsOf({1, 1, 1ull << 33}, std::vector<double>(1)),  // more ids than a token holds
        Tensor{},                                              // absent
    };
    for (const Tensor& logits : bad) {
        EXPECT_THROW_MSG(argmaxToken(logits, 0), std::invalid_argument, "logits shape is invalid");
    }
}

TEST(Helpers, SingleSequenceIsAnUnpaddedBatchOfOne) {
    const TokenBatch batch = singleSequence({3, 1, 4});
    EXPECT_EQ(batch.batch, 1u);
    EXPECT_EQ(batch.width, 3u);
    EXPECT_EQ(batch.tokens, (std::vector<std::uint32_t>{3, 1, 4}));
    EXPECT_TRUE(batch.lengths.empty());
}

TEST(Helpers, StandardPortsMakeAValidSpec) {
    TransformerSpec spec = tarvel_test::exampleSpec();
    spec.ports = standardPorts(spec.vocabulary);
    EXPECT_TRUE(validateSpec(spec).empty());
    ASSERT_EQ(spec.ports.size(), 2u);
    EXPECT_EQ(spec.ports[0].name, "tokens");
    EXPECT_EQ(spec.ports[0].kind, PortKind::token_ids);
    EXPECT_EQ(spec.ports[1].name, "logits");
    EXPECT_EQ(spec.ports[1].width, spec.vocabulary);
}

}  // namespace
