#include <gtest/gtest.h>

#include <cmath>

#include "driver/fixture.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace Nuvexis::Core::Tarvel::Conformance;

namespace {

TEST(Fixture, SpecIsValidInBothVariants) {
    for (bool gqa : {false, true}) {
        const TransformerSpec spec = fixtureSpec(gqa, 3);
        EXPECT_TRUE(validateSpec(spec).empty());
        EXPECT_EQ(spec.kv_heads, gqa ? 1u : 2u);
        EXPECT_EQ(spec.layers, 3u);
    }
}

TEST(Fixture, TensorValues) {
    const Tensor zero = fixtureTensor({3}, 0.0);
    EXPECT_EQ(zero.data[0], 0.0);
    EXPECT_EQ(zero.data[1], 0.17 * std::sin(0.37));
    EXPECT_EQ(zero.data[2], 0.17 * std::sin(0.74));
    EXPECT_NEAR(zero.data[1], 0.0614746, 1e-7);
    EXPECT_NEAR(zero.data[2], 0.1146289, 1e-7);
    const Tensor one = fixtureTensor({3}, 1.0);
    EXPECT_NEAR(one.data[0], 0.1430501, 1e-7);
    EXPECT_NEAR(one.data[1], 0.1665844, 1e-7);
    EXPECT_NEAR(one.data[2], 0.1675723, 1e-7);
    EXPECT_TRUE(one.double_precision);
}

TEST(Fixture, WeightSeedsRepeatAcrossLayers) {
    const TransformerWeights w = fixtureWeights(fixtureSpec(false, 2), 1.0);
    ASSERT_EQ(w.layers.size(), 2u);
    for (std::size_t i = 0; i < w.layers[1].attention_norm.data.size(); ++i) {
        EXPECT_EQ(w.layers[1].attention_norm.data[i], w.layers[0].query.data[i] + 1.0);
    }
    EXPECT_EQ(w.final_norm.data[0], 1.0 + 0.17 * std::sin(21.0));
    EXPECT_EQ(w.token_embedding.shape, (std::vector<std::uint64_t>{11, 4}));
    EXPECT_TRUE(w.output_embedding.data.empty());
    const TransformerWeights gqa = fixtureWeights(fixtureSpec(true, 2), 1.0);
    EXPECT_EQ(gqa.layers[0].key.shape, (std::vector<std::uint64_t>{2, 4}));
    EXPECT_EQ(w.layers[0].key.shape, (std::vector<std::uint64_t>{4, 4}));
}

TEST(Fixture, ModelsAreReproducible) {
    const TransformerSpec spec = fixtureSpec(true, 2);
    const auto a = fixtureModel(spec, 3.0);
    const auto b = fixtureModel(spec, 3.0);
    EXPECT_EQ(a->artifact_bytes(), b->artifact_bytes());
    EXPECT_FALSE(a->tokenizer_identity().has_value());
    const TokenBatch batch = fixtureBatch({1, 2, 3});
    EXPECT_EQ(batch.batch, 1u);
    EXPECT_EQ(batch.width, 3u);
    EXPECT_TRUE(batch.lengths.empty());
    EXPECT_EQ(transformerForward(spec, a->weights(), batch, ForwardOptions{}).data,
              transformerForward(spec, b->weights(), batch, ForwardOptions{}).data);
}

}  // namespace
