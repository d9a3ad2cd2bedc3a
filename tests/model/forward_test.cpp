#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "support/expect_throw.hpp"
#include "support/feature_models.hpp"
#include "support/small_model.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace tarvel_test;

namespace {

const ForwardOptions exact{true, {}, true};

// Logits {batch, width, V} as per-position rows, to compare positions across passes.
std::vector<double> logitRow(const Tensor& logits, std::uint64_t b, std::uint64_t t) {
    const std::uint64_t vocabulary = logits.shape[2];
    std::vector<double> row;
    for (std::uint64_t v = 0; v < vocabulary; ++v) row.push_back(at(logits, {b, t, v}));
    return row;
}

TEST(TransformerForward, LogitsHaveTheBatchShapeAndPrecision) {
    const ModelShape shape;
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights weights = makeWeights(shape, 1);
    const TokenBatch batch{2, 3, {1, 2, 3, 4, 5, 6}, {}};
    const Tensor logits = transformerForward(spec, weights, batch, exact);
    EXPECT_EQ(logits.shape, (std::vector<std::uint64_t>{2, 3, 11}));
    EXPECT_TRUE(logits.double_precision);
    const Tensor rounded =
        transformerForward(spec, weights, batch, ForwardOptions{false, {}, true});
    EXPECT_FALSE(rounded.double_precision);
    for (std::size_t e = 0; e < rounded.data.size(); ++e) {
        EXPECT_EQ(rounded.data[e], static_cast<double>(static_cast<float>(rounded.data[e])));
        EXPECT_NEAR(rounded.data[e], logits.data[e], 1e-4 * (1.0 + std::abs(logits.data[e])));
    }
}

TEST(TransformerForward, EarlierPositionsDoNotDependOnLaterTokens) {
    for (std::uint32_t kv_heads : {2u, 1u}) {
        ModelShape shape;
        shape.kv_heads = kv_heads;
        const TransformerSpec spec = makeSpec(shape);
        const TransformerWeights weights = makeWeights(shape, 2);
        const std::vector<std::uint32_t> a{3, 1, 4, 1, 5, 9}, b{3, 1, 4, 2, 6, 5};
        const Tensor full_a = transformerForward(spec, weights, {1, 6, a, {}}, exact);
        const Tensor full_b = transformerForward(spec, weights, {1, 6, b, {}}, exact);
        for (std::uint64_t p = 1; p <= 6; ++p) {
            const std::vector<std::uint32_t> prefix(a.begin(), a.begin() + static_cast<long>(p));
            const Tensor short_pass = transformerForward(spec, weights, {1, p, prefix, {}}, exact);
            for (std::uint64_t t = 0; t < p; ++t) {
                EXPECT_EQ(logitRow(short_pass, 0, t), logitRow(full_a, 0, t));
            }
        }
        for (std::uint64_t t = 0; t < 3; ++t)
            EXPECT_EQ(logitRow(full_a, 0, t), logitRow(full_b, 0, t));
        EXPECT_NE(logitRow(full_a, 0, 3), logitRow(full_b, 0, 3));
    }
}

TEST(TransformerForward, PaddedSequencesEqualUnpaddedPasses) {
    ModelShape shape;
    shape.kv_heads = 1;
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights weights = makeWeights(shape, 3);
    // Ids 99 and 200 lie beyond their sequence's length: accepted and never read.
    const TokenBatch padded{3, 5, {7, 2, 9, 99, 200, 1, 2, 3, 4, 5, 99, 99, 99, 99, 99}, {3, 5, 0}};
    const Tensor logits = transformerForward(spec, weights, padded, exact);
    const Tensor first = transformerForward(spec, weights, {1, 3, {7, 2, 9}, {}}, exact);
    const Tensor second = transformerForward(spec, weights, {1, 5, {1, 2, 3, 4, 5}, {}}, exact);
    const std::vector<double> zeros(11, 0.0);
    for (std::uint64_t t = 0; t < 5; ++t) {
        EXPECT_EQ(logitRow(logits, 0, t), t < 3 ? logitRow(first, 0, t) : zeros);
        EXPECT_EQ(logitRow(logits, 1, t), logitRow(second, 0, t));
        EXPECT_EQ(logitRow(logits, 2, t), zeros);
    }
    // Empty lengths mean every sequence fills the width.
    const TokenBatch both{2, 2, {1, 2, 3, 4}, {}};
    TokenBatch with_lengths = both;
    with_lengths.lengths = {2, 2};
    EXPECT_EQ(transformerForward(spec, weights, both, exact).data,
              transformerForward(spec, weights, with_lengths, exact).data);
}

TEST(TransformerForward, TracesEveryIntermediateInOrder) {
    const ModelShape shape;  // two layers
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights weights = makeWeights(shape, 4);
    std::vector<std::string> names;
    std::vector<std::vector<std::uint64_t>> shapes;
    ForwardOptions options{true,
                           [&](std::string_view name, const Tensor& t) {
                               names.emplace_back(name);
                               shapes.push_back(t.shape);
                           },
                           true};
    const Tensor logits =
        transformerForward(spec, weights, {2, 3, {1, 2, 3, 4, 5, 6}, {}}, options);
    std::vector<std::string> expected{"embedding"};
    for (const char* layer : {"layer.0.", "layer.1."}) {
        for (const char* what : {"q", "k", "v", "scores", "probabilities", "attention", "mlp"}) {
            expected.push_back(std::string(layer) + what);
        }
    }
    expected.push_back("final_norm");
    expected.push_back("logits");
    EXPECT_EQ(names, expected);
    ASSERT_EQ(shapes.size(), expected.size());
    using Shape = std::vector<std::uint64_t>;
    EXPECT_EQ(shapes[0], (Shape{6, 8}));
    EXPECT_EQ(shapes[4], (Shape{2, 2, 3, 3}));
    EXPECT_EQ(shapes[15], (Shape{6, 8}));
    EXPECT_EQ(shapes[16], (Shape{2, 3, 11}));

    names.clear();
    options.compute_logits = false;
    const Tensor absent =
        transformerForward(spec, weights, {2, 3, {1, 2, 3, 4, 5, 6}, {}}, options);
    EXPECT_TRUE(absent.shape.empty());
    EXPECT_TRUE(absent.data.empty());
    EXPECT_TRUE(absent.double_precision);
    expected.pop_back();
    EXPECT_EQ(names, expected);
}

TEST(TransformerForward, TiedEmbeddingsNeverReadTheOutputEmbedding) {
    ModelShape shape;
    const TransformerSpec tied = makeSpec(shape);
    TransformerWeights weights = makeWeights(shape, 5);
    const TokenBatch batch{1, 4, {0, 10, 5, 5}, {}};
    const Tensor reference = transformerForward(tied, weights, batch, exact);
    weights.output_embedding = Tensor({3}, std::nan(""), true);
    EXPECT_EQ(transformerForward(tied, weights, batch, exact).data, reference.data);

    // Untied with a copy of the token embedding computes the same logits.
    shape.tied_embeddings = false;
    weights.output_embedding = weights.token_embedding;
    EXPECT_EQ(transformerForward(makeSpec(shape), weights, batch, exact).data, reference.data);
}

TEST(TransformerForward, NonFiniteValuesNameTheirStage) {
    const ModelShape shape;
    const TransformerSpec spec = makeSpec(shape);
    const TokenBatch batch{1, 2, {1, 2}, {}};
    struct Case {
        void (*poison)(TransformerWeights&);
        const char* message;
    };
    const Case cases[] = {
        {[](TransformerWeights& w) {
             at(w.layers[1].query, {0, 0}) = std::nan("");
         },
         "transformer forward produced NaN/Inf"},
        {[](TransformerWeights& w) {
             at(w.layers[0].ffn_up, {3, 1}) = std::nan("");
         },
         "transformer operator produced NaN/Inf"},
        {[](TransformerWeights& w) {
             at(w.token_embedding, {2, 5}) = std::nan("");
         },
         "transformer forward produced NaN/Inf"},
        {[](TransformerWeights& w) { at(w.layers[0].attention_norm, {4}) = std::nan(""); },
         "transformer operator produced NaN/Inf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TransformerWeights weights = makeWeights(shape, 6);
        c.poison(weights);
        EXPECT_THROW_MSG(transformerForward(spec, weights, batch, exact), std::domain_error,
                         c.message);
    }
}

TEST(TransformerForward, InputChecksRunInOrder) {
    const ModelShape shape;  // vocabulary 11, context 8
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights weights = makeWeights(shape, 7);
    TransformerSpec invalid = spec;
    invalid.kv_heads = 3;
    TransformerWeights no_embedding = weights;
    no_embedding.token_embedding = Tensor();
    TransformerWeights bad_final = weights;
    bad_final.final_norm = Tensor({1, 8}, 1.0, true);
    TransformerWeights one_layer = weights;
    one_layer.layers.pop_back();
    one_layer.final_norm = Tensor();
    ModelShape untied_shape = shape;
    untied_shape.tied_embeddings = false;
    const TransformerSpec untied = makeSpec(untied_shape);
    TransformerWeights short_untied = weights;
    short_untied.layers.pop_back();

    struct Case {
        const TransformerSpec& spec;
        const TransformerWeights& weights;
        TokenBatch batch;
        const char* message;
        bool out_of_range;
    };
    const char* dims = "token batch dimensions are invalid";
    const Case cases[] = {
        {invalid, no_embedding, {0, 0, {}, {}}, "transformer forward received invalid spec", false},
        {spec, no_embedding, {0, 2, {}, {}}, dims, false},
        {spec, no_embedding, {1, 0, {}, {}}, dims, false},
        {spec, no_embedding, {1, 9, {}, {}}, dims, false},
        {spec,
         no_embedding,
         {2, 2, {1, 2, 3}, {5}},
         "token batch storage does not match shape",
         false},
        {spec,
         no_embedding,
         {2, 2, {1, 2, 3, 4}, {2}},
         "token batch lengths do not match batch size",
         false},
        {spec, no_embedding, {2, 2, {11, 1, 1, 1}, {1, 3}}, "token id exceeds vocabulary", true},
        {spec,
         no_embedding,
         {2, 2, {1, 1, 1, 1}, {1, 3}},
         "sequence length exceeds batch width",
         false},
        {spec, no_embedding, {1, 2, {1, 11}, {}}, "token id exceeds vocabulary", true},
        {spec,
         no_embedding,
         {1, 8, {1, 2, 3, 4, 5, 6, 7, 8}, {}},
         "token embedding has an invalid shape",
         false},
        {spec, bad_final, {1, 2, {1, 2}, {}}, "final norm has an invalid shape", false},
        {spec, one_layer, {1, 2, {1, 2}, {}}, "final norm has an invalid shape", false},
        {spec, short_untied, {1, 2, {1, 2}, {}}, "weight layer count mismatch", false},
        {untied, short_untied, {1, 2, {1, 2}, {}}, "weight layer count mismatch", false},
        {untied, weights, {1, 2, {1, 2}, {}}, "output embedding has an invalid shape", false},
        {spec,
         TransformerWeights(),
         {1, 1, {0}, {}},
         "token embedding has an invalid shape",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.out_of_range) {
            EXPECT_THROW_MSG(transformerForward(c.spec, c.weights, c.batch, exact),
                             std::out_of_range, c.message);
        } else {
            EXPECT_THROW_MSG(transformerForward(c.spec, c.weights, c.batch, exact),
                             std::invalid_argument, c.message);
        }
    }
    // The width may reach the context.
    EXPECT_NO_THROW(transformerForward(spec, weights, {1, 8, {1, 2, 3, 4, 5, 6, 7, 8}, {}}, exact));
}

TEST(TransformerForward, LayerShapesAreDemandedInOrderWhenTheLayerIsReached) {
    ModelShape shape;
    shape.kv_heads = 1;
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights good = makeWeights(shape, 8);
    // Transposed versions of each weight (norms get a second axis). Breaking weight k and every
    // weight after it must report weight k.
    Tensor LayerWeights::*const fields[] = {&LayerWeights::attention_norm,
                                            &LayerWeights::query,
                                            &LayerWeights::key,
                                            &LayerWeights::value,
                                            &LayerWeights::attention_output,
                                            &LayerWeights::ffn_norm,
                                            &LayerWeights::ffn_gate,
                                            &LayerWeights::ffn_up,
                                            &LayerWeights::ffn_down};
    const char* names[] = {"attention norm",
                           "query weight",
                           "key weight",
                           "value weight",
                           "attention output weight",
                           "feed-forward norm",
                           "feed-forward gate weight",
                           "feed-forward up weight",
                           "feed-forward down weight"};
    for (std::size_t k = 0; k < 9; ++k) {
        SCOPED_TRACE(names[k]);
        TransformerWeights weights = good;
        for (std::size_t later = k; later < 9; ++later) {
            Tensor& t = weights.layers[1].*fields[later];
            std::vector<std::uint64_t> broken = t.shape;
            if (broken.size() == 1)
                broken.push_back(1);
            else
                std::swap(broken[0], broken[1]);
            // Square weights cannot be broken by a swap; give them an extra row instead.
            if (broken == t.shape) broken[0] += 1;
            t = Tensor(broken, 0.5, true);
        }
        std::vector<std::string> traced;
        const ForwardOptions options{
            true, [&](std::string_view name, const Tensor&) { traced.emplace_back(name); }, true};
        EXPECT_THROW_MSG(transformerForward(spec, weights, {1, 2, {1, 2}, {}}, options),
                         std::invalid_argument, std::string(names[k]) + " has an invalid shape");
        ASSERT_FALSE(traced.empty());
        EXPECT_EQ(traced.back(), "layer.0.mlp") << "layer 0 runs before layer 1 is checked";
    }
    // A GELU model still demands the gate's shape.
    ModelShape gelu_shape = shape;
    gelu_shape.feed_forward = FeedForwardKind::gelu;
    TransformerWeights gelu = makeWeights(gelu_shape, 8);
    gelu.layers[0].ffn_gate = Tensor();
    EXPECT_THROW_MSG(transformerForward(makeSpec(gelu_shape), gelu, {1, 1, {0}, {}}, exact),
                     std::invalid_argument, "feed-forward gate weight has an invalid shape");
}

// The optional tensors are demanded, after the nine, only when their feature is on: absent ones
// are refused in field order, and without the features the same absent tensors are not read.
TEST(TransformerForward, OptionalTensorsAreDemandedInOrderWhenTheirFeatureIsOn) {
    TransformerSpec spec = featureBase();
    spec.attention.qkv_bias = true;
    spec.attention.output_bias = true;
    spec.attention.qk_norm = true;
    spec.normalization.post_attention = true;
    spec.normalization.post_feed_forward = true;
    const TransformerWeights good = featureWeights(spec, 5);
    Tensor LayerWeights::*const fields[] = {
        &LayerWeights::query_bias,          &LayerWeights::key_bias,     &LayerWeights::value_bias,
        &LayerWeights::output_bias,         &LayerWeights::query_norm,   &LayerWeights::key_norm,
        &LayerWeights::post_attention_norm, &LayerWeights::post_ffn_norm};
    const char* names[] = {
        "query bias", "key bias", "value bias",          "output bias",
        "query norm", "key norm", "post-attention norm", "post-feed-forward norm"};
    for (std::size_t k = 0; k < 8; ++k) {
        SCOPED_TRACE(names[k]);
        TransformerWeights weights = good;
        for (std::size_t later = k; later < 8; ++later) weights.layers[0].*fields[later] = Tensor();
        EXPECT_THROW_MSG(transformerForward(spec, weights, {1, 1, {0}, {}}, exact),
                         std::invalid_argument, std::string(names[k]) + " has an invalid shape");
    }
    TransformerWeights bare = good;
    for (Tensor LayerWeights::*field : fields) bare.layers[0].*field = Tensor();
    EXPECT_NO_THROW(transformerForward(featureBase(), bare, {1, 1, {0}, {}}, exact));
}

TEST(TransformerForward, TraceExceptionsPropagate) {
    const ModelShape shape;
    const ForwardOptions options{true,
                                 [](std::string_view name, const Tensor&) {
                                     if (name == "layer.1.v") throw std::runtime_error("stop");
                                 },
                                 true};
    try {
        transformerForward(makeSpec(shape), makeWeights(shape, 9), {1, 1, {0}, {}}, options);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "stop");
    }
}

// An embedding row scaled by 1e160 is finite, but its sum of squares is not: the first norm
// refuses it instead of turning it into zeros (and all-zero logits). In reduced precision the
// embedding itself is already beyond float32.
TEST(TransformerForward, AnOverflowingNormIsRefused) {
    const ModelShape shape;
    const TransformerSpec spec = makeSpec(shape);
    TransformerWeights weights = makeWeights(shape, 6);
    for (std::uint64_t c = 0; c < spec.model_dim; ++c) at(weights.token_embedding, {5, c}) *= 1e160;
    EXPECT_THROW_MSG(transformerForward(spec, weights, {1, 2, {1, 5}, {}}, exact),
                     std::domain_error, "transformer operator produced NaN/Inf");
    EXPECT_THROW_MSG(
        transformerForward(spec, weights, {1, 2, {1, 5}, {}}, ForwardOptions{false, {}, true}),
        std::domain_error, "transformer forward produced NaN/Inf");
    EXPECT_NO_THROW(transformerForward(spec, weights, {1, 2, {1, 4}, {}}, exact));
}

// The working memory of a pass is known before it allocates. Here, with rows r = 8, width 4,
// d = q = kv = 8, f = 12, V = 200, four heads' worth of 16 scores: one layer may hold, while
// attending, 2 * 64 + 4 * 4 + 8 * (d + 2q + 2kv + max(d, q, f)) = 560 doubles and, in the
// feed-forward block, 8 * (2d + 2q + 2kv + 3f + max(d, q, f)) = 768; the logits stage
// 8 * (2d + V) = 1728 (dense) or 8 * (d + V) + 6 * (1 + 2d + V) = 2966 (padded to 6 real
// positions) or nothing beyond the final norm's 64; the residual stream's 64 come on top.
TEST(TransformerForward, WorkingMemoryBudgetIsCheckedBeforeTheWork) {
    ModelShape shape;
    shape.vocabulary = 200;
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights weights = makeWeights(shape, 10);
    const TokenBatch dense{2, 4, {1, 2, 3, 4, 5, 6, 7, 8}, {}};
    const TokenBatch padded{2, 4, {1, 2, 3, 4, 5, 6, 0, 0}, {4, 2}};
    const struct {
        const TokenBatch& batch;
        bool logits;
        std::uint64_t bytes;
    } cases[] = {
        {dense, true, 8 * (64 + 1728)},
        {padded, true, 8 * (64 + 2966)},
        {dense, false, 8 * (64 + 768)},
        {padded, false, 8 * (64 + 768)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.batch.lengths.size() << " lengths, logits " << c.logits);
        ForwardOptions options{true, {}, c.logits};
        EXPECT_EQ(forwardWorkingBytes(spec, c.batch, options), c.bytes);
        const Tensor unlimited = transformerForward(spec, weights, c.batch, options);
        options.max_working_bytes = c.bytes;
        EXPECT_EQ(transformerForward(spec, weights, c.batch, options).data, unlimited.data);
        options.max_working_bytes = c.bytes - 1;
        bool traced = false;
        options.trace = [&](std::string_view, const Tensor&) { traced = true; };
        EXPECT_THROW_MSG(transformerForward(spec, weights, c.batch, options), std::invalid_argument,
                         "transformer forward exceeds working memory budget");
        EXPECT_FALSE(traced) << "nothing is computed before the budget check";
    }

    // The input checks come first.
    ForwardOptions none{true, {}, true, 0};
    TransformerSpec invalid = spec;
    invalid.kv_heads = 3;
    EXPECT_THROW_MSG(transformerForward(invalid, weights, dense, none), std::invalid_argument,
                     "transformer forward received invalid spec");
    EXPECT_THROW_MSG(transformerForward(spec, weights, {1, 2, {1, 200}, {}}, none),
                     std::out_of_range, "token id exceeds vocabulary");
    EXPECT_THROW_MSG(transformerForward(spec, TransformerWeights(), dense, none),
                     std::invalid_argument, "token embedding has an invalid shape");
}

// Scores are {batch, heads, width, width} whatever the lengths: four sequences of one real
// token each, padded to 4096, would need gigabytes; a budget refuses them at once.
TEST(TransformerForward, WideBatchesAreRefusedByTheBudget) {
    ModelShape shape;
    shape.context = 4096;
    const TransformerSpec spec = makeSpec(shape);
    const TransformerWeights weights = makeWeights(shape, 11);
    const TokenBatch wide{4, 4096, std::vector<std::uint32_t>(4 * 4096, 1), {1, 1, 1, 1}};
    ForwardOptions options{true, {}, true};
    const std::uint64_t scores = 8 * 2 * std::uint64_t{4} * 2 * 4096 * 4096;
    EXPECT_GE(forwardWorkingBytes(spec, wide, options), scores);
    options.max_working_bytes = std::uint64_t{256} << 20;
    EXPECT_THROW_MSG(transformerForward(spec, weights, wide, options), std::invalid_argument,
                     "transformer forward exceeds working memory budget");
}

}  // namespace
