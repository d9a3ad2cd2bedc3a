#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/models.hpp"
#include "support/quantized_blocks.hpp"
#include "support/small_model.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/model/detail/packed_weights.hpp"

using namespace tarvel_test;
namespace detail = Nuvexis::Core::Tarvel::detail;

namespace {

// A model whose projections cycle through every block format, whose token embedding (and
// output embedding, when untied) and some norms are blocks too, the rest packed as usual.
detail::PackedWeights quantizedWeights(const ModelShape& shape, std::uint64_t seed) {
    detail::PackedWeights packed = detail::packWeights(makeWeights(shape, seed));
    BlockFiller filler(seed);
    std::size_t next = 0;
    const auto quantize = [&](detail::PackedTensor& tensor) {
        const BlockFormat format = every_block_format[next++ % std::size(every_block_format)];
        const std::vector<std::uint64_t> shape_of = tensor.shape;
        const std::uint64_t rows = shape_of.size() == 2 ? shape_of[0] : 1;
        tensor = detail::packBlocks(
            format, shape_of,
            filler.blocks(format, rows * shape_of.back() / detail::blockValues(format), true));
    };
    quantize(packed.token_embedding);
    for (detail::PackedLayerWeights& layer : packed.layers) {
        for (detail::PackedTensor* t :
             {&layer.query, &layer.key, &layer.value, &layer.attention_output, &layer.ffn_gate,
              &layer.ffn_up, &layer.ffn_down}) {
            quantize(*t);
        }
    }
    quantize(packed.layers[0].attention_norm);
    quantize(packed.final_norm);
    if (!shape.tied_embeddings) quantize(packed.output_embedding);
    return packed;
}

void expectSameBits(const Tensor& actual, const Tensor& expected) {
    ASSERT_EQ(actual.shape, expected.shape);
    for (std::size_t e = 0; e < expected.data.size(); ++e) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(actual.data[e]),
                  std::bit_cast<std::uint64_t>(expected.data[e]))
            << "element " << e;
    }
}

}  // namespace

// A model built from blocks computes what the model built from their widened doubles computes,
// bit for bit: the full pass over a batch (the kernels' many-row path), and cached decoding one
// token at a time (the one-row path) equal to it; the model's identity is that of its values.
TEST(QuantizedModel, EqualsTheModelOfItsWidenedValuesFullAndCachedOnOneAndTwoThreads) {
    for (const bool tied : {true, false}) {
        SCOPED_TRACE(tied ? "tied" : "untied");
        ModelShape shape;
        shape.vocabulary = 40;  // the logits' projection has a tail past its last panel
        shape.context = 8;
        shape.layers = 2;
        shape.query_heads = 2;
        shape.kv_heads = 1;
        shape.head_dim = 128;
        shape.ffn_dim = 256;
        shape.tied_embeddings = tied;
        const TransformerSpec spec = makeSpec(shape);
        detail::PackedWeights blocks = quantizedWeights(shape, tied ? 3 : 4);
        ASSERT_EQ(blocks.layers[1].ffn_down.type(), detail::PackedType::quantized);
        const TransformerWeights widened = detail::unpackWeights(blocks);
        const std::uint64_t block_bytes = detail::packedWeightBytes(blocks);
        const auto model = std::make_shared<const TransformerModel>(spec, std::move(blocks),
                                                                    std::optional<std::string>{});
        const auto reference =
            std::make_shared<const TransformerModel>(spec, widened, std::optional<std::string>{});
        EXPECT_EQ(model->weight_bytes(), block_bytes);
        EXPECT_LT(model->weight_bytes(), reference->weight_bytes());
        EXPECT_EQ(model->artifact_checksum(), reference->artifact_checksum());
        EXPECT_EQ(model->artifact_bytes(), reference->artifact_bytes());

        const std::vector<std::uint32_t> sequence = {3, 39, 0, 17, 22, 8};
        for (const bool dp : {true, false}) {
            for (const std::uint32_t threads : {1u, 2u}) {
                SCOPED_TRACE(std::string(dp ? "double" : "float32") + ", " +
                             std::to_string(threads) + " threads");
                const ForwardOptions options{dp, {}, true, std::nullopt, threads};
                const Tensor full = model->forward(fixtureBatch(sequence), options);
                expectSameBits(full, reference->forward(fixtureBatch(sequence), options));

                TransformerKvSession session(model, 1);
                TransformerKvOptions kv;
                kv.double_precision = dp;
                kv.threads = threads;
                for (std::size_t p = 0; p < sequence.size(); ++p) {
                    const TransformerKvStep step =
                        forwardCached(fixtureBatch({sequence[p]}), session, kv);
                    for (std::uint64_t v = 0; v < spec.vocabulary; ++v) {
                        ASSERT_EQ(std::bit_cast<std::uint64_t>(at(step.logits, {0, 0, v})),
                                  std::bit_cast<std::uint64_t>(at(full, {0, p, v})))
                            << "position " << p << ", token " << v;
                    }
                }
            }
        }
    }
}
