#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/feature_models.hpp"
#include "support/models.hpp"
#include "support/small_model.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/model/detail/packed_weights.hpp"

using namespace tarvel_test;
using Nuvexis::Core::Tarvel::detail::PackedType;

namespace {

// Big enough that every kind of work splits over four threads: a piece must carry about 2^15
// multiply-adds, so a decode step splits the 2101 x 64 output embedding (65 panels of 32 and a
// tail of 21 rows), a prefill of 28 tokens also splits the feed-forward (164 wide: 5 panels and
// a tail of four) and attention by row and head, and a full pass of two sequences of
// width 32 splits attention by sequence and head.
ModelShape threadsShape() {
    ModelShape shape;
    shape.vocabulary = 2101;
    shape.context = 40;
    shape.layers = 3;
    shape.query_heads = 4;
    shape.kv_heads = 2;
    shape.head_dim = 16;
    shape.ffn_dim = 164;
    shape.feed_forward = FeedForwardKind::swiglu;
    shape.tied_embeddings = false;
    return shape;
}

double roundTo(double x, PackedType type) {
    switch (type) {
        case PackedType::bf16: {
            // float32 rounding, then its upper half rounded to nearest, ties to even; the values
            // are small, so no carry reaches the exponent's top.
            std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(x));
            bits += 0x7FFFu + ((bits >> 16) & 1u);
            return static_cast<double>(std::bit_cast<float>(bits & 0xFFFF0000u));
        }
        case PackedType::f16:
            // Multiples of 2^-10 below 2 in magnitude have at most eleven significant bits.
            return std::round(x * 1024.0) / 1024.0;
        case PackedType::f32:
            return static_cast<double>(static_cast<float>(x));
        case PackedType::f64:
        case PackedType::quantized:
            break;
    }
    return x;
}

std::vector<Tensor*> tensorsOf(TransformerWeights& w) {
    std::vector<Tensor*> all{&w.token_embedding};
    for (LayerWeights& l : w.layers) {
        for (Tensor* t : {&l.attention_norm, &l.query, &l.key, &l.value, &l.attention_output,
                          &l.ffn_norm, &l.ffn_gate, &l.ffn_up, &l.ffn_down}) {
            all.push_back(t);
        }
    }
    all.push_back(&w.final_norm);
    all.push_back(&w.output_embedding);
    return all;
}

// The weights with the tensors rounded in turn to bf16, f16, f32 and not at all, so that the
// model stores them in all four types and every kernel runs.
TransformerWeights mixedWeights(TransformerWeights weights) {
    const std::vector<Tensor*> all = tensorsOf(weights);
    for (std::size_t i = 0; i < all.size(); ++i) {
        for (double& x : all[i]->data) x = roundTo(x, static_cast<PackedType>(i % 4));
    }
    return weights;
}

std::shared_ptr<const TransformerModel> modelOf(TransformerWeights weights) {
    return std::make_shared<const TransformerModel>(makeSpec(threadsShape()), std::move(weights));
}

std::vector<std::uint32_t> tokensOf(std::uint64_t count, std::uint32_t salt) {
    std::vector<std::uint32_t> tokens;
    for (std::uint64_t t = 0; t < count; ++t) {
        tokens.push_back(static_cast<std::uint32_t>((t * 389 + salt) % threadsShape().vocabulary));
    }
    return tokens;
}

// Two sequences of width 32, the second 21 long.
TokenBatch twoSequences() {
    std::vector<std::uint32_t> tokens = tokensOf(32, 7);
    const std::vector<std::uint32_t> second = tokensOf(32, 1000);
    tokens.insert(tokens.end(), second.begin(), second.end());
    return TokenBatch{2, 32, tokens, {32, 21}};
}

// A prefill of 28 tokens, then four decode steps; every logit of every step.
std::vector<double> cachedRun(const std::shared_ptr<const TransformerModel>& model,
                              std::uint32_t threads, bool dp) {
    TransformerKvOptions options;
    options.double_precision = dp;
    options.threads = threads;
    TransformerKvSession s(model, 1);
    std::vector<double> logits =
        forwardCached(fixtureBatch(tokensOf(28, 3)), s, options).logits.data;
    for (const std::uint32_t token : tokensOf(4, 55)) {
        const Tensor step = forwardCached(fixtureBatch({token}), s, options).logits;
        logits.insert(logits.end(), step.data.begin(), step.data.end());
    }
    return logits;
}

void expectSameBits(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(actual[i]),
                  std::bit_cast<std::uint64_t>(expected[i]))
            << "logit " << i << ": " << actual[i] << " vs " << expected[i];
    }
}

}  // namespace

// Each output is summed by one thread in its fixed order, so no logit depends on the number of
// threads: packed weights (a full pass and a cached prefill and decode) and double weights (the
// full pass over plain tensors), in both precisions.
TEST(Threads, LogitsAreBitIdenticalForOneToFourThreads) {
    const TransformerSpec spec = makeSpec(threadsShape());
    const TransformerWeights plain = makeWeights(threadsShape(), 15);
    const auto packed = modelOf(mixedWeights(plain));
    std::set<PackedType> types;
    for (const auto& l : packed->packed_weights().layers) {
        for (const auto* t : {&l.query, &l.key, &l.value, &l.attention_output, &l.ffn_gate,
                              &l.ffn_up, &l.ffn_down}) {
            types.insert(t->type());
        }
    }
    ASSERT_EQ(types.size(), 4u);

    struct Case {
        const char* name;
        std::function<std::vector<double>(std::uint32_t threads, bool dp)> run;
    };
    const Case cases[] = {
        {"packed full pass",
         [&](std::uint32_t threads, bool dp) {
             ForwardOptions options;
             options.double_precision = dp;
             options.threads = threads;
             return Nuvexis::Core::Tarvel::detail::packedForward(spec, packed->packed_weights(),
                                                                 twoSequences(), options)
                 .data;
         }},
        {"packed cached prefill and decode",
         [&](std::uint32_t threads, bool dp) { return cachedRun(packed, threads, dp); }},
        {"double full pass",
         [&](std::uint32_t threads, bool dp) {
             ForwardOptions options;
             options.double_precision = dp;
             options.threads = threads;
             return transformerForward(spec, plain, twoSequences(), options).data;
         }},
    };
    for (const Case& c : cases) {
        for (const bool dp : {true, false}) {
            const std::vector<double> one = c.run(1, dp);
            ASSERT_FALSE(one.empty());
            for (const std::uint32_t threads : {2u, 3u, 4u}) {
                SCOPED_TRACE(std::string(c.name) + (dp ? ", double" : ", float32") + ", " +
                             std::to_string(threads) + " threads");
                expectSameBits(c.run(threads, dp), one);
            }
        }
    }
}

// The block's features change no thread split: a model of that size with every feature at once
// (and heads wider than model_dim / query_heads) gives the same bits on one to four threads.
TEST(Threads, EveryFeatureIsBitIdenticalForOneToFourThreads) {
    TransformerSpec spec = makeSpec(threadsShape());
    spec.model_dim = 48;
    spec.position.scaling = {RopeScalingKind::llama3, 4.0, 1.0, 4.0, 64};
    spec.attention = {true, true, true, 5, WindowLayers::even, 12.0, 2.5};
    spec.normalization.unit_offset = true;
    spec.normalization.post_attention = true;
    spec.normalization.post_feed_forward = true;
    spec.feed_forward = FeedForwardKind::geglu_tanh;
    spec.embedding_scale = 6.9375;
    spec.logit_softcap = 3.0;
    const auto model = featureModel(spec, 21);
    for (const bool dp : {true, false}) {
        const auto run = [&](std::uint32_t threads) {
            ForwardOptions options;
            options.double_precision = dp;
            options.threads = threads;
            std::vector<double> all = model->forward(twoSequences(), options).data;
            const std::vector<double> cached = cachedRun(model, threads, dp);
            all.insert(all.end(), cached.begin(), cached.end());
            return all;
        };
        const std::vector<double> one = run(1);
        for (const std::uint32_t threads : {2u, 3u, 4u}) {
            SCOPED_TRACE(std::string(dp ? "double, " : "float32, ") + std::to_string(threads) +
                         " threads");
            expectSameBits(run(threads), one);
        }
    }
}

namespace {

// Everything a failed step must leave as it was, bit for bit.
struct SessionState {
    std::uint64_t position = 0;
    std::vector<std::uint32_t> prefix;
    std::vector<std::vector<std::uint64_t>> cache_shapes;
    std::vector<std::vector<std::uint64_t>> cache_bits;
    std::vector<std::uint8_t> snapshot;

    friend bool operator==(const SessionState&, const SessionState&) = default;
};

SessionState stateOf(const TransformerKvSession& s) {
    SessionState state{s.position(), s.token_prefix(), {}, {}, saveSnapshot(s)};
    for (const Tensor& t : s.cache()) {
        state.cache_shapes.push_back(t.shape);
        std::vector<std::uint64_t> bits;
        for (const double x : t.data) bits.push_back(std::bit_cast<std::uint64_t>(x));
        state.cache_bits.push_back(std::move(bits));
    }
    return state;
}

TransformerKvOptions fourThreads(bool dp) {
    TransformerKvOptions options;
    options.double_precision = dp;
    options.threads = 4;
    return options;
}

}  // namespace

// A value check failing in the last piece of a split projection (one output of the output
// embedding's last panel, or of its tail past the panels) reaches the caller as the step's own
// error once every piece has stopped, and the session is left exactly as it was; the same step
// in double precision then goes through as on a session that never failed. The row is scaled so
// that its logits lie near 1e40: finite in double, beyond float32 in reduced precision.
TEST(Threads, AFailureInALateOutputGroupChangesNothing) {
    const TransformerSpec spec = makeSpec(threadsShape());
    const std::vector<std::uint32_t> prompt = tokensOf(28, 3);
    const std::vector<std::vector<std::uint32_t>> chunks = {{1234}, {77, 1500, 9}};
    for (const std::uint64_t row : {std::uint64_t{2095}, std::uint64_t{2100}}) {
        SCOPED_TRACE("output " + std::to_string(row));
        TransformerWeights weights = mixedWeights(makeWeights(threadsShape(), 15));
        for (std::uint64_t c = 0; c < 64; ++c) at(weights.output_embedding, {row, c}) = 1.0;
        // With a row of ones the logit is the sum of the final hidden state, in the steps and in
        // full passes over the chunks alone.
        double smallest = HUGE_VAL;
        {
            const auto probe_model = modelOf(weights);
            TransformerKvSession probe(probe_model, 1);
            (void)forwardCached(fixtureBatch(prompt), probe, fourThreads(true));
            for (const auto& chunk : chunks) {
                TransformerKvSession fork = probe;
                const Tensor logits =
                    forwardCached(fixtureBatch(chunk), fork, fourThreads(false)).logits;
                ForwardOptions pass;
                pass.double_precision = false;
                const Tensor alone = Nuvexis::Core::Tarvel::detail::packedForward(
                    spec, probe_model->packed_weights(), fixtureBatch(chunk), pass);
                for (std::uint64_t t = 0; t < chunk.size(); ++t) {
                    smallest = std::min({smallest, std::fabs(at(logits, {0, t, row})),
                                         std::fabs(at(alone, {0, t, row}))});
                }
            }
        }
        ASSERT_GT(smallest, 1e-10);
        for (std::uint64_t c = 0; c < 64; ++c) {
            at(weights.output_embedding, {row, c}) = 1e40 / smallest;
        }
        const auto model = modelOf(weights);

        TransformerKvSession s(model, 1);
        (void)forwardCached(fixtureBatch(prompt), s, fourThreads(true));
        for (const auto& chunk : chunks) {
            SCOPED_TRACE("chunk of " + std::to_string(chunk.size()));
            const SessionState before = stateOf(s);
            EXPECT_THROW_MSG((void)forwardCached(fixtureBatch(chunk), s, fourThreads(false)),
                             std::domain_error, "cached transformer produced NaN/Inf");
            ASSERT_TRUE(stateOf(s) == before);
            ForwardOptions pass;
            pass.double_precision = false;
            pass.threads = 4;
            EXPECT_THROW_MSG((void)Nuvexis::Core::Tarvel::detail::packedForward(
                                 model->spec(), model->packed_weights(), fixtureBatch(chunk), pass),
                             std::domain_error, "transformer forward produced NaN/Inf");

            TransformerKvSession untouched(model, 1);
            (void)forwardCached(fixtureBatch(prompt), untouched, fourThreads(true));
            const auto expected = forwardCached(fixtureBatch(chunk), untouched, fourThreads(true));
            TransformerKvSession retried = s;
            const auto step = forwardCached(fixtureBatch(chunk), retried, fourThreads(true));
            expectSameBits(step.logits.data, expected.logits.data);
            EXPECT_TRUE(stateOf(retried) == stateOf(untouched));
        }
    }
}

// With four threads the observer is still called once per step, on the thread that called the
// step; its exception, or its attempt to change the session it observes, fails the step and
// leaves the session as it was; a later step goes through as on an untouched session.
TEST(Threads, TheObserverRunsOnceOnTheCallingThread) {
    const auto model = modelOf(mixedWeights(makeWeights(threadsShape(), 15)));
    TransformerKvSession prefilled(model, 1);
    (void)forwardCached(fixtureBatch(tokensOf(28, 3)), prefilled, fourThreads(false));
    const std::vector<std::vector<std::uint32_t>> chunks = {{1234}, {77, 1500, 9}};
    for (const auto& chunk : chunks) {
        SCOPED_TRACE("chunk of " + std::to_string(chunk.size()));
        TransformerKvSession reference = prefilled;
        const auto expected = forwardCached(fixtureBatch(chunk), reference, fourThreads(false));

        TransformerKvSession s = prefilled;
        const SessionState before = stateOf(s);
        std::vector<std::thread::id> callers;
        std::function<void()> act;  // what the observer does after noting its thread
        TransformerKvOptions options = fourThreads(false);
        options.observer = [&](const TransformerKvStats&) {
            callers.push_back(std::this_thread::get_id());
            act();
        };
        const std::vector<std::thread::id> this_thread{std::this_thread::get_id()};

        act = [] { throw std::logic_error("observer failure"); };
        EXPECT_THROW_MSG((void)forwardCached(fixtureBatch(chunk), s, options), std::logic_error,
                         "observer failure");
        EXPECT_EQ(callers, this_thread);
        ASSERT_TRUE(stateOf(s) == before);

        callers.clear();
        act = [&] { s.reset(2); };
        expectKvThrow([&] { (void)forwardCached(fixtureBatch(chunk), s, options); },
                      TransformerKvErrorKind::invalid_state, "session step in progress");
        EXPECT_EQ(callers, this_thread);
        ASSERT_TRUE(stateOf(s) == before);

        // Reading, saving and forking the session from the observer stay allowed, and the fork
        // may be stepped there with threads of its own.
        callers.clear();
        std::vector<double> fork_logits;
        act = [&] {
            EXPECT_TRUE(saveSnapshot(s) == before.snapshot);
            TransformerKvSession fork = s;
            fork_logits = forwardCached(fixtureBatch(chunk), fork, fourThreads(false)).logits.data;
        };
        const auto step = forwardCached(fixtureBatch(chunk), s, options);
        EXPECT_EQ(callers, this_thread);
        expectSameBits(step.logits.data, expected.logits.data);
        expectSameBits(fork_logits, expected.logits.data);
        EXPECT_TRUE(stateOf(s) == stateOf(reference));
    }
}
