#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/feature_models.hpp"
#include "support/models.hpp"
#include "support/small_model.hpp"

using namespace tarvel_test;

namespace {

// Large enough that the projections run the vector kernels' panels and their tails.
ModelShape batchShape() {
    ModelShape shape;
    shape.vocabulary = 2101;
    shape.context = 40;
    shape.layers = 3;
    shape.query_heads = 4;
    shape.kv_heads = 2;
    shape.head_dim = 16;
    shape.ffn_dim = 164;
    shape.tied_embeddings = false;
    return shape;
}

// Every feature of the block at once: biases, head norms, a window on even layers, score and
// logit caps, scaled rotary positions, post norms, an embedding scale.
TransformerSpec everyFeature() {
    TransformerSpec spec = makeSpec(batchShape());
    spec.model_dim = 48;
    spec.position.scaling = {RopeScalingKind::llama3, 4.0, 1.0, 4.0, 64};
    spec.attention = {true, true, true, 5, WindowLayers::even, 12.0, 2.5};
    spec.normalization.unit_offset = true;
    spec.normalization.post_attention = true;
    spec.normalization.post_feed_forward = true;
    spec.feed_forward = FeedForwardKind::geglu_tanh;
    spec.embedding_scale = 6.9375;
    spec.logit_softcap = 3.0;
    return spec;
}

struct BatchModel {
    const char* name;
    std::shared_ptr<const TransformerModel> model;
};

std::vector<BatchModel> batchModels() {
    TransformerWeights narrow = makeWeights(batchShape(), 15);
    for (Tensor* t : {&narrow.token_embedding, &narrow.output_embedding}) {
        for (double& x : t->data) x = static_cast<double>(static_cast<float>(x));
    }
    return {
        {"plain", std::make_shared<const TransformerModel>(makeSpec(batchShape()),
                                                           makeWeights(batchShape(), 15))},
        {"f32 embeddings",
         std::make_shared<const TransformerModel>(makeSpec(batchShape()), std::move(narrow))},
        {"every feature", featureModel(everyFeature(), 21)},
    };
}

std::vector<std::uint32_t> tokensOf(std::uint64_t count, std::uint64_t salt) {
    std::vector<std::uint32_t> tokens;
    for (std::uint64_t t = 0; t < count; ++t) {
        tokens.push_back(static_cast<std::uint32_t>((t * 389 + salt * 97 + 5) % 2101));
    }
    return tokens;
}

std::vector<std::uint64_t> bitsOf(const std::vector<double>& values) {
    std::vector<std::uint64_t> bits;
    bits.reserve(values.size());
    for (const double x : values) bits.push_back(std::bit_cast<std::uint64_t>(x));
    return bits;
}

// Everything a step may change, bit for bit.
struct SessionState {
    std::uint64_t position = 0;
    std::vector<std::uint32_t> prefix;
    std::vector<std::vector<std::uint64_t>> shapes;
    std::vector<std::vector<std::uint64_t>> bits;

    friend bool operator==(const SessionState&, const SessionState&) = default;
};

SessionState stateOf(const TransformerKvSession& s) {
    SessionState state{s.position(), s.token_prefix(), {}, {}};
    for (const Tensor& t : s.cache()) {
        state.shapes.push_back(t.shape);
        state.bits.push_back(bitsOf(t.data));
    }
    return state;
}

// Session i holds a history of histories[i] tokens; the batch feeds it a chunk of widths[i]
// tokens (1 is a decode step, more a prefill chunk), then one decode token each.
constexpr std::uint64_t histories[] = {0, 7, 3, 0, 12, 1, 5, 20};
constexpr std::uint64_t widths[] = {4, 1, 1, 6, 1, 3, 1, 2};

}  // namespace

// Sessions stepped together, 1, 2, 4 or 8 at once, mixing prefill chunks and decode tokens and
// fresh sessions with filled ones, get every logit, and keep every cached value, bit for bit as
// each stepped alone; so on for a second step from the caches the first one grew, in both
// precisions, with every logit or only the last, on one or three threads.
TEST(BatchedStep, EachSessionIsBitForBitThatSessionSteppedAlone) {
    for (const BatchModel& m : batchModels()) {
        SCOPED_TRACE(m.name);
        std::deque<TransformerKvSession> base;
        for (std::uint64_t i = 0; i < 8; ++i) {
            base.emplace_back(m.model, i + 1);
            if (histories[i] != 0) {
                TransformerKvOptions fill;
                (void)forwardCached(singleSequence(tokensOf(histories[i], i)), base.back(), fill);
            }
        }
        for (const bool dp : {false, true}) {
            for (const auto logits :
                 {TransformerKvLogits::every_position, TransformerKvLogits::last_position}) {
                for (const std::uint32_t threads : {1u, 3u}) {
                    TransformerKvOptions options;
                    options.double_precision = dp;
                    options.threads = threads;
                    options.logits = logits;
                    for (const std::uint64_t count : {1u, 2u, 4u, 8u}) {
                        SCOPED_TRACE(std::to_string(count) + " sessions, " +
                                     (dp ? "double, " : "float32, ") + std::to_string(threads) +
                                     " threads, logits " +
                                     std::to_string(static_cast<int>(logits)));
                        std::deque<TransformerKvSession> together(
                            base.begin(), base.begin() + static_cast<std::ptrdiff_t>(count));
                        std::deque<TransformerKvSession> alone(
                            base.begin(), base.begin() + static_cast<std::ptrdiff_t>(count));
                        for (std::uint64_t round = 0; round < 2; ++round) {
                            std::vector<TransformerKvBatchItem> items;
                            for (std::uint64_t i = 0; i < count; ++i) {
                                const std::uint64_t n = round == 0 ? widths[i] : 1;
                                items.push_back(
                                    {&together[i], singleSequence(tokensOf(n, 10 * i + round))});
                            }
                            const std::vector<TransformerKvStep> steps =
                                forwardCachedBatch(items, options);
                            ASSERT_EQ(steps.size(), count);
                            for (std::uint64_t i = 0; i < count; ++i) {
                                const TransformerKvStep single =
                                    forwardCached(items[i].chunk, alone[i], options);
                                ASSERT_EQ(steps[i].logits.shape, single.logits.shape);
                                ASSERT_EQ(bitsOf(steps[i].logits.data), bitsOf(single.logits.data))
                                    << "session " << i << ", step " << round;
                                EXPECT_EQ(steps[i].logits.double_precision, dp);
                                EXPECT_EQ(steps[i].stats, single.stats);
                                ASSERT_TRUE(stateOf(together[i]) == stateOf(alone[i]))
                                    << "session " << i << ", step " << round;
                            }
                        }
                    }
                }
            }
        }
    }
}

// The batch's own checks come first, in their order, then each item's step checks in item
// order; whichever fails, no session of the batch changes.
TEST(BatchedStep, AFaultyBatchIsRefusedWithoutChangingAnySession) {
    const auto model = makeModel(smallSpec(2, 2, 2, 2, FeedForwardKind::swiglu, true), 1.5);
    const auto other = makeModel(smallSpec(2, 2, 2, 2, FeedForwardKind::swiglu, true), 1.5);
    TransformerKvSession a(model, 1);
    TransformerKvSession b(model, 2);
    TransformerKvSession c(other, 3);
    (void)forwardCached(singleSequence({1, 2, 3}), a, {});
    (void)forwardCached(singleSequence({4}), b, {});
    const SessionState a_before = stateOf(a);
    const SessionState b_before = stateOf(b);
    using Kind = TransformerKvErrorKind;
    struct Case {
        const char* name;
        std::vector<TransformerKvBatchItem> items;
        Kind kind;
        const char* message;
    };
    const TokenBatch one = singleSequence({5});
    const Case cases[] = {
        {"empty", {}, Kind::invalid_input, "KV batch holds no sessions"},
        {"missing session",
         {{&a, one}, {nullptr, one}},
         Kind::invalid_input,
         "KV batch session is missing"},
        {"two models",
         {{&a, one}, {&c, TokenBatch{2, 1, {1, 2}, {}}}},
         Kind::invalid_input,
         "KV batch sessions do not share one model"},
        {"twice",
         {{&a, one}, {&b, one}, {&a, one}},
         Kind::invalid_input,
         "KV batch holds a session twice"},
        {"second item's token",
         {{&a, one}, {&b, singleSequence({3, 11})}},
         Kind::invalid_input,
         "token id exceeds vocabulary"},
        {"first item's shape before second's token",
         {{&a, TokenBatch{2, 1, {1, 2}, {}}}, {&b, singleSequence({11})}},
         Kind::invalid_input,
         "KV runtime requires one dense relation per session"},
        {"context",
         {{&b, one}, {&a, singleSequence({1, 2, 3, 4, 5, 6})}},
         Kind::context_exceeded,
         "decode exceeds model context"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        expectKvThrow([&] { (void)forwardCachedBatch(test.items, {}); }, test.kind, test.message);
        EXPECT_TRUE(stateOf(a) == a_before);
        EXPECT_TRUE(stateOf(b) == b_before);
    }

    // A cache limit that the second item's step alone exceeds.
    TransformerKvOptions small;
    small.max_cache_bytes = kvBytesPerToken(model->spec()) * 4;
    expectKvThrow(
        [&] {
            (void)forwardCachedBatch(
                std::vector<TransformerKvBatchItem>{{&b, one}, {&a, singleSequence({1, 2})}},
                small);
        },
        Kind::resource_limit, "KV cache exceeds configured byte limit");
    EXPECT_TRUE(stateOf(a) == a_before);
    EXPECT_TRUE(stateOf(b) == b_before);

    // An observer that throws on the second item's statistics, after everything is computed.
    TransformerKvOptions observed;
    int calls = 0;
    observed.observer = [&](const TransformerKvStats&) {
        if (++calls == 2) throw std::runtime_error("observer refused");
    };
    EXPECT_THROW_MSG((void)forwardCachedBatch(
                         std::vector<TransformerKvBatchItem>{{&a, one}, {&b, one}}, observed),
                     std::runtime_error, "observer refused");
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(stateOf(a) == a_before);
    EXPECT_TRUE(stateOf(b) == b_before);

    // From the observer, every session of the batch is in its step.
    TransformerKvOptions reentrant;
    reentrant.observer = [&](const TransformerKvStats&) {
        expectKvThrow([&] { (void)forwardCached(one, b, {}); }, Kind::invalid_state,
                      "session step in progress");
    };
    (void)forwardCachedBatch(std::vector<TransformerKvBatchItem>{{&a, one}, {&b, one}}, reentrant);
    EXPECT_EQ(a.position(), a_before.position + 1);
    EXPECT_EQ(b.position(), b_before.position + 1);
}
