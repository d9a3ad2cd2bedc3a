#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>

#include "support/expect_throw.hpp"
#include "support/feature_models.hpp"
#include "support/models.hpp"
#include "support/small_model.hpp"
#include "support/tensors.hpp"

using namespace tarvel_test;

namespace {

struct ParityModel {
    const char* name;
    TransformerSpec spec;
};

std::vector<ParityModel> parityModels() {
    return {
        {"mha swiglu tied", smallSpec(2, 2, 2, 2, FeedForwardKind::swiglu, true)},
        {"gqa swiglu tied", smallSpec(2, 4, 2, 2, FeedForwardKind::swiglu, true)},
        {"mqa gelu untied", smallSpec(3, 4, 1, 4, FeedForwardKind::gelu, false)},
        {"mha gelu tied", smallSpec(1, 3, 3, 2, FeedForwardKind::gelu, true)},
    };
}

// Every way of cutting 8 tokens into chunks: bit i of the mask set means "cut after i".
std::vector<std::vector<std::uint64_t>> allSplits(std::uint64_t length) {
    std::vector<std::vector<std::uint64_t>> splits;
    for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << (length - 1)); ++mask) {
        std::vector<std::uint64_t> widths;
        std::uint64_t width = 1;
        for (std::uint64_t i = 0; i + 1 < length; ++i) {
            if (mask & (std::uint64_t{1} << i)) {
                widths.push_back(width);
                width = 1;
            } else {
                ++width;
            }
        }
        widths.push_back(width);
        splits.push_back(widths);
    }
    return splits;
}

// The step's arithmetic is the full pass' arithmetic in the same order, so every split of the
// sequence reproduces the full pass bit for bit, in both precisions.
TEST(CachedStep, EveryChunkSplitReproducesTheFullPassExactly) {
    const std::vector<std::uint32_t> sequence = {2, 7, 1, 9, 3, 4, 10, 0};
    for (const ParityModel& m : parityModels()) {
        SCOPED_TRACE(m.name);
        const auto model = makeModel(m.spec, 1.5);
        for (bool dp : {false, true}) {
            SCOPED_TRACE(dp);
            const Tensor full = transformerForward(m.spec, model->weights(), fixtureBatch(sequence),
                                                   ForwardOptions{dp, {}, true});
            for (const auto& widths : allSplits(sequence.size())) {
                TransformerKvSession s(model, 1);
                std::uint64_t offset = 0;
                for (const std::uint64_t width : widths) {
                    const std::vector<std::uint32_t> chunk(
                        sequence.begin() + static_cast<std::ptrdiff_t>(offset),
                        sequence.begin() + static_cast<std::ptrdiff_t>(offset + width));
                    TransformerKvOptions options;
                    options.double_precision = dp;
                    const TransformerKvStep step = forwardCached(fixtureBatch(chunk), s, options);
                    ASSERT_EQ(step.logits.shape,
                              (std::vector<std::uint64_t>{1, width, m.spec.vocabulary}));
                    EXPECT_EQ(step.logits.double_precision, dp);
                    for (std::uint64_t p = 0; p < width; ++p) {
                        for (std::uint64_t v = 0; v < m.spec.vocabulary; ++v) {
                            ASSERT_EQ(at(step.logits, {0, p, v}), at(full, {0, offset + p, v}))
                                << "position " << offset + p;
                        }
                    }
                    offset += width;
                    EXPECT_EQ(s.position(), offset);
                    EXPECT_EQ(step.stats, kvStats(s));
                }
                EXPECT_EQ(s.token_prefix(), sequence);
                ASSERT_EQ(s.cache().size(), 2 * std::size_t{m.spec.layers});
                for (const Tensor& t : s.cache()) {
                    EXPECT_EQ(t.shape,
                              (std::vector<std::uint64_t>{1, 8, m.spec.kv_heads, m.spec.head_dim}));
                    EXPECT_EQ(t.double_precision, dp);
                }
            }
        }
    }
}

// The same for every family's features (windows, scaled rotation, biases, head norms, soft-caps
// and the rest): every split of 8 tokens gives the full pass's logits bit for bit in both
// precisions, the cache holds every position, and a fork or a restored snapshot taken midway
// steps exactly like its source.
TEST(CachedStep, EveryFamilyAndChunkSplitReproducesTheFullPassExactly) {
    const std::vector<std::uint32_t> sequence = {3, 17, 0, 22, 9, 9, 4, 12};
    for (const FeatureModel& m : featureModels()) {
        SCOPED_TRACE(m.name);
        const auto model = featureModel(m.spec, 3);
        for (bool dp : {false, true}) {
            SCOPED_TRACE(dp);
            TransformerKvOptions options;
            options.double_precision = dp;
            const Tensor full =
                model->forward(fixtureBatch(sequence), ForwardOptions{dp, {}, true});
            for (const auto& widths : allSplits(sequence.size())) {
                TransformerKvSession s(model, 1);
                std::uint64_t offset = 0;
                for (const std::uint64_t width : widths) {
                    const std::vector<std::uint32_t> chunk(
                        sequence.begin() + static_cast<std::ptrdiff_t>(offset),
                        sequence.begin() + static_cast<std::ptrdiff_t>(offset + width));
                    const TransformerKvStep step = forwardCached(fixtureBatch(chunk), s, options);
                    for (std::uint64_t p = 0; p < width; ++p) {
                        for (std::uint64_t v = 0; v < m.spec.vocabulary; ++v) {
                            ASSERT_EQ(at(step.logits, {0, p, v}), at(full, {0, offset + p, v}))
                                << "position " << offset + p;
                        }
                    }
                    offset += width;
                }
                for (const Tensor& t : s.cache()) {
                    EXPECT_EQ(t.shape,
                              (std::vector<std::uint64_t>{1, 8, m.spec.kv_heads, m.spec.head_dim}));
                }
            }
            TransformerKvSession s(model, 1);
            (void)forwardCached(fixtureBatch({3, 17, 0, 22, 9}), s, options);
            TransformerKvSession fork = s;
            TransformerKvSession restored(model, 1);
            restoreSnapshot(restored, saveSnapshot(s), generous_limits);
            const TransformerKvStep next = forwardCached(fixtureBatch({9, 4, 12}), s, options);
            EXPECT_EQ(forwardCached(fixtureBatch({9, 4, 12}), fork, options).logits.data,
                      next.logits.data);
            EXPECT_EQ(forwardCached(fixtureBatch({9, 4, 12}), restored, options).logits.data,
                      next.logits.data);
            EXPECT_EQ(saveSnapshot(restored), saveSnapshot(s));
        }
    }
}

// Asking for the last position's logits alone returns that row of the full answer bit for bit,
// on a model wide enough for the panel kernels (vocabulary and feed-forward several panels of
// 32 outputs, with tails), whatever the chunk width, precision or thread count, and leaves the
// session exactly as the full answer does.
TEST(CachedStep, LastPositionLogitsAreTheLastRowAndTheSessionEndsTheSame) {
    ModelShape shape;
    shape.vocabulary = 301;
    shape.context = 40;
    shape.query_heads = 4;
    shape.head_dim = 8;
    shape.ffn_dim = 72;
    shape.tied_embeddings = false;
    const auto model =
        std::make_shared<const TransformerModel>(makeSpec(shape), makeWeights(shape, 4));
    const std::uint64_t v = shape.vocabulary;
    for (const bool dp : {false, true}) {
        for (const std::uint32_t threads : {1u, 2u}) {
            SCOPED_TRACE(std::string(dp ? "double" : "float32") + ", threads " +
                         std::to_string(threads));
            TransformerKvOptions every;
            every.double_precision = dp;
            every.threads = threads;
            TransformerKvOptions last = every;
            last.logits = TransformerKvLogits::last_position;
            TransformerKvSession a(model, 1);
            TransformerKvSession b(model, 1);
            std::uint32_t token = 3;
            for (const std::uint64_t width : {13u, 1u, 6u, 2u, 1u}) {
                std::vector<std::uint32_t> chunk;
                for (std::uint64_t i = 0; i < width; ++i)
                    chunk.push_back(token = (token * 37 + 11) % 301);
                const TransformerKvStep full = forwardCached(fixtureBatch(chunk), a, every);
                const TransformerKvStep tail = forwardCached(fixtureBatch(chunk), b, last);
                ASSERT_EQ(tail.logits.shape, (std::vector<std::uint64_t>{1, 1, v}));
                EXPECT_EQ(tail.logits.double_precision, dp);
                const std::vector<double> last_row(
                    full.logits.data.end() - static_cast<std::ptrdiff_t>(v),
                    full.logits.data.end());
                ASSERT_EQ(tail.logits.data, last_row) << "width " << width;
                EXPECT_EQ(tail.stats, full.stats);
            }
            EXPECT_EQ(saveSnapshot(b), saveSnapshot(a));
        }
    }

    // A selection that is neither is refused before any work, and changes nothing.
    TransformerKvSession s(model, 1);
    (void)forwardCached(fixtureBatch({1, 2}), s, {});
    const auto before = saveSnapshot(s);
    TransformerKvOptions unknown;
    unknown.logits = static_cast<TransformerKvLogits>(2);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({3}), s, unknown); },
                  TransformerKvErrorKind::invalid_input, "KV logits selection is invalid");
    EXPECT_EQ(saveSnapshot(s), before);
}

TEST(CachedStep, ChunkFormAndIdsAreRefusedAsInvalidInput) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    const auto refused = [&](TokenBatch chunk, const char* message) {
        expectKvThrow([&] { (void)forwardCached(chunk, s, TransformerKvOptions{}); },
                      TransformerKvErrorKind::invalid_input, message);
    };
    const char* dense = "KV runtime requires one dense relation per session";
    refused(TokenBatch{2, 1, {1, 2}, {}}, dense);
    refused(TokenBatch{1, 0, {}, {}}, dense);
    refused(TokenBatch{1, 2, {1, 2, 3}, {}}, dense);
    refused(TokenBatch{1, 2, {1, 2}, {1}}, dense);
    refused(TokenBatch{1, 2, {1, 2}, {2, 2}}, dense);
    refused(TokenBatch{1, 2, {1, 11}, {}}, "token id exceeds vocabulary");
    // The id check comes before the context check.
    refused(TokenBatch{1, 9, {1, 1, 1, 1, 1, 1, 1, 1, 11}, {}}, "token id exceeds vocabulary");
    EXPECT_NO_THROW((void)forwardCached(TokenBatch{1, 2, {1, 2}, {2}}, s, TransformerKvOptions{}));
}

TEST(CachedStep, ContextBoundary) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    expectKvThrow(
        [&] { (void)forwardCached(fixtureBatch(std::vector<std::uint32_t>(9, 1)), s, {}); },
        TransformerKvErrorKind::context_exceeded, "decode exceeds model context");
    (void)forwardCached(fixtureBatch(std::vector<std::uint32_t>(7, 1)), s, {});
    (void)forwardCached(fixtureBatch({1}), s, {});
    EXPECT_EQ(s.position(), 8u);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({1}), s, {}); },
                  TransformerKvErrorKind::context_exceeded, "decode exceeds model context");
}

TEST(CachedStep, InconsistentSessionsAreRefusedInCheckOrder) {
    const auto one_layer = makeModel(smallSpec(1, 2, 2, 2, FeedForwardKind::swiglu, true), 1.0);
    const auto two_layers = fixtureModel(fixtureSpec(false, 2), 1.0);
    std::vector<Tensor> tiny;
    tiny.emplace_back(std::vector<std::uint64_t>{1, 1, 1, 1}, 0.0, true);
    tiny.emplace_back(std::vector<std::uint64_t>{1, 1, 1, 1}, 0.0, true);

    TransformerKvSession a(one_layer, 1);
    a.setTokenPrefix({1});
    a.advancePosition(1);
    a.setCache(tiny);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({2}), a, {}); },
                  TransformerKvErrorKind::invalid_state, "cached key shape does not match session");

    TransformerKvSession b(two_layers, 1);
    b.setTokenPrefix({1});
    b.advancePosition(1);
    b.setCache(tiny);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({2}), b, {}); },
                  TransformerKvErrorKind::invalid_state, "session KV layer count is invalid");

    TransformerKvSession c(two_layers, 1);
    c.advancePosition(1);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({2}), c, {}); },
                  TransformerKvErrorKind::invalid_state,
                  "session position and token prefix differ");

    // A good key followed by a value of the wrong shape.
    TransformerKvSession d(one_layer, 1);
    (void)forwardCached(fixtureBatch({1}), d, {});
    std::vector<Tensor> cache = d.cache();
    cache[1] = Tensor({1, 1, 2, 3}, 0.0, true);
    d.setCache(cache);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({2}), d, {}); },
                  TransformerKvErrorKind::invalid_state,
                  "cached value shape does not match session");

    // A cache left behind on a position-0 session.
    TransformerKvSession e(one_layer, 1);
    e.setCache(tiny);
    expectKvThrow([&] { (void)forwardCached(fixtureBatch({2}), e, {}); },
                  TransformerKvErrorKind::invalid_state, "session KV layer count is invalid");
}

TEST(CachedStep, SubOperationErrors) {
    const Tensor input({2, 3}, 0.5, true);
    const Tensor weight({4, 3}, 0.25, true);
    expectKvThrow([&] { (void)cachedLinear(input, weight, 3, 3, 4, true); },
                  TransformerKvErrorKind::invalid_state,
                  "linear input shape does not match session");
    expectKvThrow([&] { (void)cachedLinear(input, weight, 2, 3, 3, true); },
                  TransformerKvErrorKind::invalid_state,
                  "linear weight shape does not match session");
    const Tensor out = cachedLinear(input, weight, 2, 3, 4, false);
    EXPECT_EQ(out.shape, (std::vector<std::uint64_t>{2, 4}));
    EXPECT_EQ(out.data[0], 0.375);

    Tensor rows({2, 4}, 0.0, true);
    for (std::size_t i = 0; i < rows.data.size(); ++i) rows.data[i] = static_cast<double>(i);
    const Tensor first = appendKv(nullptr, rows, 0, 2, 2, 2, true);
    EXPECT_EQ(first.shape, (std::vector<std::uint64_t>{1, 2, 2, 2}));
    EXPECT_EQ(first.data, rows.data);
    const Tensor grown = appendKv(&first, rows, 2, 2, 2, 2, false);
    EXPECT_FALSE(grown.double_precision);
    EXPECT_EQ(at(grown, {0, 3, 1, 1}), 7.0);
    EXPECT_EQ(at(grown, {0, 1, 0, 1}), 5.0);
}

// A weight too large for float32 is fine in double precision but refused in reduced precision
// by the step's own value check.
TEST(CachedStep, ValueCheckFailureLeavesTheSessionUnchanged) {
    TransformerSpec spec = fixtureSpec(false, 2);
    TransformerWeights weights = fixtureWeights(spec, 1.0);
    at(weights.token_embedding, {5, 0}) = 1e39;
    const auto model = std::make_shared<const TransformerModel>(spec, weights);
    TransformerKvSession s(model, 1);
    (void)forwardCached(fixtureBatch({1}), s, TransformerKvOptions{true, 536870912, {}});
    const auto before = saveSnapshot(s);
    EXPECT_THROW_MSG((void)forwardCached(fixtureBatch({5}), s, TransformerKvOptions{}),
                     std::domain_error, "cached transformer produced NaN/Inf");
    EXPECT_EQ(saveSnapshot(s), before);
}

TEST(CachedStep, RefusedStepsChangeNothingAndRetriesMatchAnUninterruptedRun) {
    const auto model = fixtureModel(fixtureSpec(true, 2), 3.0);
    TransformerKvSession reference(model, 1);
    (void)forwardCached(fixtureBatch({1, 2}), reference, {});
    const auto expected = forwardCached(fixtureBatch({3, 4}), reference, {});

    TransformerKvSession s(model, 1);
    (void)forwardCached(fixtureBatch({1, 2}), s, {});
    const auto before = saveSnapshot(s);
    TransformerKvOptions limited;
    limited.max_cache_bytes = 32 * 3;
    expectKvThrow(
        [&] {
            (void)forwardCached(fixtureBatch({3, 4}), s, limited);
        },
        TransformerKvErrorKind::resource_limit, "KV cache exceeds configured byte limit");
    EXPECT_EQ(saveSnapshot(s), before);

    int calls = 0;
    TransformerKvOptions flaky;
    flaky.observer = [&](const TransformerKvStats&) {
        if (++calls == 1) throw std::logic_error("observer failure");
    };
    EXPECT_THROW_MSG((void)forwardCached(fixtureBatch({3, 4}), s, flaky), std::logic_error,
                     "observer failure");
    EXPECT_EQ(saveSnapshot(s), before);
    const auto retried = forwardCached(fixtureBatch({3, 4}), s, flaky);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(retried.logits.data, expected.logits.data);
    EXPECT_EQ(retried.stats, expected.stats);
    EXPECT_EQ(saveSnapshot(s), saveSnapshot(reference));
}

TEST(CachedStep, ForksGivenTheSameChunkAgreeBitForBit) {
    const auto model = fixtureModel(fixtureSpec(true, 3), 5.0);
    TransformerKvSession s(model, 1);
    (void)forwardCached(fixtureBatch({1, 2, 3}), s, {});
    TransformerKvSession f1 = s;
    TransformerKvSession f2 = s;
    for (bool dp : {false, true}) {
        TransformerKvSession g1 = f1;
        TransformerKvSession g2 = f2;
        TransformerKvOptions options;
        options.double_precision = dp;
        const auto a = forwardCached(fixtureBatch({6, 7}), g1, options);
        const auto b = forwardCached(fixtureBatch({6, 7}), g2, options);
        EXPECT_EQ(a.logits.data, b.logits.data);
        EXPECT_EQ(a.stats, b.stats);
        EXPECT_EQ(saveSnapshot(g1), saveSnapshot(g2));
    }
}

// A cache replaced by tensors of the right shapes but other storage is refused by the step's
// own shape check, like any misshapen cache, before anything reads it.
TEST(CachedStep, CacheStorageThatDisagreesWithItsShapeIsRefused) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession source(model, 1);
    (void)forwardCached(fixtureBatch({1, 2}), source, {});
    const std::size_t count = source.cache()[0].data.size();
    for (const std::size_t tensor : {std::size_t{0}, std::size_t{3}}) {
        for (const std::size_t stored : {std::size_t{0}, count - 1, count + 1}) {
            SCOPED_TRACE(::testing::Message() << "tensor " << tensor << ", stored " << stored);
            TransformerKvSession s = source;
            std::vector<Tensor> cache = s.cache();
            cache[tensor] = tarvel_test::withStorage(cache[tensor], stored);
            s.setCache(cache);
            const auto before = saveSnapshot(s);
            expectKvThrow([&] { (void)forwardCached(fixtureBatch({3}), s, {}); },
                          TransformerKvErrorKind::invalid_state,
                          tensor % 2 == 0 ? "cached key shape does not match session"
                                          : "cached value shape does not match session");
            EXPECT_EQ(saveSnapshot(s), before);
        }
    }
}

TEST(CachedStep, SubOperationsDemandStorageThatHoldsTheShape) {
    const Tensor input({2, 3}, 0.5, true);
    const Tensor weight({4, 3}, 0.25, true);
    for (const std::uint64_t rows : {std::uint64_t{1}, std::uint64_t{2}}) {
        const Tensor in({rows, 3}, 0.5, true);
        expectKvThrow(
            [&] {
                (void)cachedLinear(tarvel_test::withStorage(in, 3 * rows - 1), weight, rows, 3, 4,
                                   true);
            },
            TransformerKvErrorKind::invalid_state, "linear input shape does not match session");
        expectKvThrow(
            [&] { (void)cachedLinear(in, tarvel_test::withStorage(weight, 11), rows, 3, 4, true); },
            TransformerKvErrorKind::invalid_state, "linear weight shape does not match session");
    }
    // The cache kernels take tensors the step built; handed anything else, they still read
    // nothing past the stored values.
    const Tensor rows({2, 4}, 1.0, true);
    const Tensor old({1, 2, 2, 2}, 1.0, true);
    EXPECT_THROW_MSG((void)appendKv(&old, tarvel_test::withStorage(rows, 7), 2, 2, 2, 2, true),
                     std::out_of_range, "tensor index out of bounds");
    const Tensor short_old = tarvel_test::withStorage(old, 7);
    EXPECT_THROW_MSG((void)appendKv(&short_old, rows, 2, 2, 2, 2, true), std::out_of_range,
                     "tensor index out of bounds");
    const Tensor query({2, 4}, 0.5, true);
    const Tensor keys({1, 4, 2, 2}, 0.5, true);
    EXPECT_THROW_MSG(
        (void)cachedAttention(query, tarvel_test::withStorage(keys, 15), keys, 2, 2, 2, 2, 2, true),
        std::out_of_range, "tensor index out of bounds");
    EXPECT_THROW_MSG(
        (void)cachedAttention(query, keys, tarvel_test::withStorage(keys, 17), 2, 2, 2, 2, 2, true),
        std::out_of_range, "tensor index out of bounds");
    EXPECT_NO_THROW((void)cachedAttention(query, keys, keys, 2, 2, 2, 2, 2, true));
}

// An embedding row beyond what a sum of squares can hold reaches the first norm in double
// precision; that norm refuses it instead of returning zeros, and the session is unchanged.
TEST(CachedStep, AnOverflowingNormIsRefusedAndChangesNothing) {
    TransformerSpec spec = fixtureSpec(false, 2);
    TransformerWeights weights = fixtureWeights(spec, 1.0);
    for (std::uint64_t c = 0; c < spec.model_dim; ++c) at(weights.token_embedding, {5, c}) *= 1e160;
    const auto model = std::make_shared<const TransformerModel>(spec, weights);
    TransformerKvSession s(model, 1);
    TransformerKvOptions exact;
    exact.double_precision = true;
    (void)forwardCached(fixtureBatch({1}), s, exact);
    const auto before = saveSnapshot(s);
    EXPECT_THROW_MSG((void)forwardCached(fixtureBatch({5}), s, exact), std::domain_error,
                     "transformer operator produced NaN/Inf");
    EXPECT_EQ(saveSnapshot(s), before);
}

// While a step runs its observer, the session it steps cannot be changed: the observer's
// attempt is refused, its exception fails the step as any observer's does, and the session is
// left as it was. The same change succeeds once the step is over.
TEST(CachedStep, AnObserverCannotChangeItsOwnSession) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession other(model, 9);
    (void)forwardCached(fixtureBatch({4, 4, 4}), other, {});
    const std::vector<std::uint8_t> other_bytes = saveSnapshot(other);
    struct Case {
        const char* what;
        std::function<void(TransformerKvSession&)> change;
    };
    const std::thread::id caller = std::this_thread::get_id();
    const Case cases[] = {
        {"step", [](TransformerKvSession& s) { (void)forwardCached(fixtureBatch({1}), s, {}); }},
        {"reset", [](TransformerKvSession& s) { s.reset(5); }},
        {"setTokenPrefix",
         [](TransformerKvSession& s) {
             s.setTokenPrefix({1, 2, 3, 4});
         }},
        {"setCache", [](TransformerKvSession& s) { s.setCache({}); }},
        {"advancePosition", [](TransformerKvSession& s) { s.advancePosition(2); }},
        {"restoreSnapshot",
         [&](TransformerKvSession& s) { restoreSnapshot(s, other_bytes, generous_limits); }},
    };
    for (const Case& c : cases) {
        for (const std::uint32_t threads : {1u, 4u}) {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(threads) + " threads");
            TransformerKvSession s(model, 1);
            (void)forwardCached(fixtureBatch({1, 2}), s, {});
            const auto before = saveSnapshot(s);
            TransformerKvOptions options;
            options.threads = threads;
            int calls = 0;
            options.observer = [&](const TransformerKvStats&) {
                ++calls;
                EXPECT_EQ(std::this_thread::get_id(), caller);
                c.change(s);
            };
            expectKvThrow(
                [&] {
                    (void)forwardCached(fixtureBatch({3, 4}), s, options);
                },
                TransformerKvErrorKind::invalid_state, "session step in progress");
            EXPECT_EQ(calls, 1);
            EXPECT_EQ(saveSnapshot(s), before);
            EXPECT_EQ(s.position(), 2u);
            // Nothing is left marked: the step and then the change itself go through.
            EXPECT_NO_THROW((void)forwardCached(fixtureBatch({3, 4}), s, {}));
            EXPECT_NO_THROW(c.change(s));
        }
    }
}

// Reading the session, saving it and forking it stay allowed from the observer; a fork is a
// session of its own, not in a step, and may be stepped there. An observer that handles the
// refusal itself lets the step commit as usual.
TEST(CachedStep, AnObserverMayReadAndForkItsSession) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession reference(model, 1);
    (void)forwardCached(fixtureBatch({1, 2}), reference, {});
    const std::vector<std::uint8_t> at_two = saveSnapshot(reference);
    const auto expected = forwardCached(fixtureBatch({3, 4}), reference, {});

    for (const std::uint32_t threads : {1u, 4u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        TransformerKvSession s(model, 1);
        (void)forwardCached(fixtureBatch({1, 2}), s, {});
        std::vector<std::uint8_t> seen;
        std::vector<double> fork_logits;
        bool refused = false;
        int calls = 0;
        TransformerKvOptions options;
        options.threads = threads;
        options.observer = [&](const TransformerKvStats& stats) {
            ++calls;
            EXPECT_EQ(stats.tokens, 4u);
            EXPECT_EQ(s.position(), 2u);
            EXPECT_EQ(kvStats(s).tokens, 2u);
            seen = saveSnapshot(s);
            TransformerKvSession fork = s;
            TransformerKvOptions fork_options;
            fork_options.threads = threads;
            fork_logits = forwardCached(fixtureBatch({3, 4}), fork, fork_options).logits.data;
            try {
                s.reset(1);
            } catch (const TransformerKvError& e) {
                refused = e.kind() == TransformerKvErrorKind::invalid_state;
            }
        };
        const auto step = forwardCached(fixtureBatch({3, 4}), s, options);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(seen, at_two);
        EXPECT_EQ(fork_logits, expected.logits.data);
        EXPECT_TRUE(refused);
        EXPECT_EQ(step.logits.data, expected.logits.data);
        EXPECT_EQ(saveSnapshot(s), saveSnapshot(reference));
    }
}

// Decoding token by token appends each step's keys and values in place: a cache tensor's storage
// moves only when it grows, and it grows geometrically, so a long run copies its cache a few
// times rather than once per step. A step that fails after growing the storage still leaves the
// committed values alone, the session it leaves continues exactly as an unhindered one, and a
// fork of a session with room to spare holds only the committed positions.
TEST(CachedStep, DecodingAppendsInPlaceAndFailedStepsKeepTheCommittedCache) {
    const auto model = makeModel(smallSpec(2, 4, 2, 2, FeedForwardKind::swiglu, true, 64), 2.0);
    TransformerKvSession reference(model, 1);
    TransformerKvSession s(model, 1);
    TransformerKvOptions failing;
    failing.observer = [](const TransformerKvStats&) {
        throw std::logic_error("observer failure");
    };
    std::vector<std::uint32_t> tokens;
    std::size_t moves = 0;
    const double* storage = nullptr;
    for (std::uint32_t t = 0; t < 64; ++t) {
        const std::uint32_t id = (t * 7 + 3) % 11;
        tokens.push_back(id);
        const auto expected = forwardCached(fixtureBatch({id}), reference, {});
        if (t != 0) {
            const std::vector<Tensor> committed = s.cache();
            const auto snapshot = saveSnapshot(s);
            EXPECT_THROW_MSG((void)forwardCached(fixtureBatch({id}), s, failing), std::logic_error,
                             "observer failure");
            ASSERT_EQ(saveSnapshot(s), snapshot) << "position " << t;
            for (std::size_t i = 0; i < committed.size(); ++i) {
                ASSERT_EQ(s.cache()[i].shape, committed[i].shape);
                ASSERT_EQ(s.cache()[i].data, committed[i].data);
            }
            const TransformerKvSession fork = s;
            ASSERT_EQ(saveSnapshot(fork), snapshot);
        }
        const auto step = forwardCached(fixtureBatch({id}), s, {});
        ASSERT_EQ(step.logits.data, expected.logits.data) << "position " << t;
        ASSERT_EQ(s.cache()[0].shape, (std::vector<std::uint64_t>{1, t + 1u, 2, 2}));
        if (s.cache()[0].data.data() != storage) {
            ++moves;
            storage = s.cache()[0].data.data();
        }
    }
    EXPECT_EQ(saveSnapshot(s), saveSnapshot(reference));
    EXPECT_EQ(s.token_prefix(), tokens);
    // Made at 1 position, then grown to 2, 4, 8, 16, 32 and 64.
    EXPECT_LE(moves, 7u);
}

}  // namespace
