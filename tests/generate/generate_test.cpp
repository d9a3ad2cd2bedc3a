// Generation over a KV session: a run split by a snapshot samples exactly what one run
// samples, greedy or seeded; EOS stops; the recomputed last logits are the step's own.
#include <gtest/gtest.h>

#include "fixture_checkpoints.hpp"
#include "support/expect_throw.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/generate/generate.hpp"
#include "tarvel/reference/score.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

std::shared_ptr<const TransformerModel> fixtureModel() {
    static const std::shared_ptr<const TransformerModel> model = [] {
        const auto dir = tarvel_test::freshDirectory("generate");
        tarvel_test::writeCheckpoint(dir, tarvel_test::textFixture(64));
        auto loaded = loadCheckpoint(dir).model;
        std::filesystem::remove_all(dir);
        return loaded;
    }();
    return model;
}

const ArtifactLimits limits{1u << 30, 1u << 24, 1u << 29, 100, 8, 1u << 20, 1u << 20, 1u << 29};

struct SplitCase {
    const char* label;
    SamplingOptions sampling;
    bool double_precision;
};

TEST(Generate, ARunSplitBySnapshotEqualsOneRun) {
    const std::vector<std::uint32_t> prompt = {1, 9, 4, 33};
    for (const SplitCase& c :
         {SplitCase{"greedy", {}, true}, SplitCase{"seeded", {0.9, 0.95, 2024}, true},
          SplitCase{"seeded float32", {1.3, 1.0, 5}, false}}) {
        SCOPED_TRACE(c.label);
        GenerateOptions options;
        options.sampling = c.sampling;
        options.kv.double_precision = c.double_precision;
        options.max_tokens = 12;
        TransformerKvSession whole(fixtureModel(), 1);
        std::vector<std::uint32_t> streamed;
        const GenerateResult one =
            generate(whole, prompt, options, [&](std::uint32_t id) { streamed.push_back(id); });
        ASSERT_EQ(one.tokens.size(), 12u);
        EXPECT_EQ(streamed, one.tokens);

        options.max_tokens = 5;
        options.feed_last = true;
        TransformerKvSession first(fixtureModel(), 1);
        const GenerateResult part1 = generate(first, prompt, options, {});
        EXPECT_EQ(first.position(), prompt.size() + 5);
        const std::vector<std::uint8_t> snapshot = saveSnapshot(first);

        TransformerKvSession resumed(fixtureModel(), 1);
        restoreSnapshot(resumed, snapshot, limits);
        options.max_tokens = 7;
        options.feed_last = false;
        const GenerateResult part2 = generate(resumed, {}, options, {});
        std::vector<std::uint32_t> joined = part1.tokens;
        joined.insert(joined.end(), part2.tokens.begin(), part2.tokens.end());
        EXPECT_EQ(joined, one.tokens);
    }
}

TEST(Generate, LastPositionLogitsAreTheStepsOwnBitForBit) {
    TransformerKvSession session(fixtureModel(), 1);
    TransformerKvOptions options;
    (void)forwardCached(TokenBatch{1, 3, {3, 4, 5}, {}}, session, options);
    const Tensor step = forwardCached(TokenBatch{1, 1, {6}, {}}, session, options).logits;
    const std::vector<std::uint8_t> before = saveSnapshot(session);
    const Tensor again = lastPositionLogits(session, options);
    EXPECT_EQ(again.shape, step.shape);
    EXPECT_EQ(again.data, step.data);
    EXPECT_EQ(saveSnapshot(session), before);  // the session itself is not touched

    TransformerKvSession empty(fixtureModel(), 1);
    EXPECT_THROW_MSG(generate(empty, {}, GenerateOptions{}, {}), std::invalid_argument,
                     "generation needs at least one token");
}

// Each emitted token's log-probability is the model's own, as scoring the whole sequence gives
// it, whatever the sampling did with the logits; none are kept unless asked for.
TEST(Generate, LogProbsOfEmittedTokensAreTheScoresOfTheSequence) {
    const std::vector<std::uint32_t> prompt = {1, 9, 4, 33};
    GenerateOptions options;
    options.sampling = SamplingOptions{1.7, 0.9, 11, 0, 0.0, 1.3};
    options.kv.double_precision = true;
    options.max_tokens = 9;
    options.logprobs = true;
    options.top_logprobs = 4;
    std::vector<std::uint64_t> handed;
    options.on_logprobs = [&](const TokenLogProbs& entry) { handed.push_back(entry.position); };
    TransformerKvSession session(fixtureModel(), 1);
    std::size_t emitted = 0;
    const GenerateResult result = generate(session, prompt, options, [&](std::uint32_t) {
        EXPECT_EQ(handed.size(), ++emitted);  // handed over just before the token
    });
    ASSERT_EQ(result.logprobs.size(), result.tokens.size());

    std::vector<std::uint32_t> sequence = prompt;
    sequence.insert(sequence.end(), result.tokens.begin(), result.tokens.end());
    ScoreOptions score;
    score.top = 4;
    const ScoreResult scored = scoreTokens(fixtureModel(), sequence, score);
    for (std::size_t i = 0; i < result.tokens.size(); ++i) {
        const TokenLogProbs& got = result.logprobs[i];
        const TokenLogProbs& want = scored.tokens[prompt.size() + i - 1];
        EXPECT_EQ(got.position, prompt.size() + i);
        EXPECT_EQ(handed[i], got.position);
        EXPECT_EQ(got.token, result.tokens[i]);
        EXPECT_EQ(got.logprob, want.logprob);
        ASSERT_EQ(got.top.size(), 4u);
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(got.top[k].token, want.top[k].token);
            EXPECT_EQ(got.top[k].logprob, want.top[k].logprob);
        }
    }
    options.logprobs = false;
    TransformerKvSession plain(fixtureModel(), 1);
    const GenerateResult unasked = generate(plain, prompt, options, {});
    EXPECT_EQ(unasked.tokens, result.tokens);
    EXPECT_TRUE(unasked.logprobs.empty());
}

TEST(Generate, StopsAtEosWithoutEmittingItAndAtTheContext) {
    GenerateOptions options;
    options.max_tokens = 4;
    TransformerKvSession probe(fixtureModel(), 1);
    const std::vector<std::uint32_t> prompt = {1, 2};
    const GenerateResult free_run = generate(probe, prompt, options, {});
    ASSERT_EQ(free_run.tokens.size(), 4u);

    options.eos = free_run.tokens[2];
    TransformerKvSession session(fixtureModel(), 1);
    const GenerateResult stopped = generate(session, prompt, options, {});
    EXPECT_EQ(stopped.stop, GenerateStop::eos);
    EXPECT_EQ(stopped.tokens,
              std::vector<std::uint32_t>(free_run.tokens.begin(), free_run.tokens.begin() + 2));

    options.eos.reset();
    options.max_tokens = 1000;
    TransformerKvSession full(fixtureModel(), 1);
    const GenerateResult filled = generate(full, prompt, options, {});
    EXPECT_EQ(filled.stop, GenerateStop::context_full);
    EXPECT_EQ(full.position(), 64u);
    EXPECT_EQ(filled.tokens.size(), 64u - prompt.size() + 1);
}

TEST(Generate, SamplesOnlyBelowTheSampledVocabulary) {
    const std::vector<std::uint32_t> prompt = {1, 9, 4};
    for (const SamplingOptions& sampling : {SamplingOptions{}, SamplingOptions{1.5, 1.0, 77}}) {
        GenerateOptions options;
        options.sampling = sampling;
        options.max_tokens = 20;
        options.sampled_vocabulary = 5;
        TransformerKvSession session(fixtureModel(), 1);
        const GenerateResult result = generate(session, prompt, options, {});
        ASSERT_EQ(result.tokens.size(), 20u);
        // Each token is the one drawn from the first five logits of its position.
        TransformerKvSession replay(fixtureModel(), 1);
        TransformerKvOptions kv;
        Tensor logits = forwardCached(singleSequence(prompt), replay, kv).logits;
        for (const std::uint32_t token : result.tokens) {
            const std::uint64_t v = logits.shape[2], last = (logits.shape[1] - 1) * v;
            const std::span<const double> row(logits.data.data() + last, 5);
            EXPECT_EQ(token, sampleToken(row, sampling, replay.position()));
            logits = forwardCached(singleSequence({token}), replay, kv).logits;
        }
    }
    GenerateOptions none;
    none.sampled_vocabulary = 0;
    TransformerKvSession untouched(fixtureModel(), 1);
    EXPECT_THROW_MSG(generate(untouched, prompt, none, {}), std::invalid_argument,
                     "sampled vocabulary is empty");
    EXPECT_EQ(untouched.position(), 0u);
}

TEST(Generate, AFedRunEmitsOnlyTokensTheSessionHolds) {
    // Fed to the end of the context, a run stops rather than emit a token it cannot feed, so a
    // snapshot holds every emitted token; resumed there, it emits nothing.
    GenerateOptions options;
    options.max_tokens = 1000;
    options.feed_last = true;
    TransformerKvSession session(fixtureModel(), 1);
    const std::vector<std::uint32_t> prompt = {1, 2};
    const GenerateResult filled = generate(session, prompt, options, {});
    EXPECT_EQ(filled.stop, GenerateStop::context_full);
    ASSERT_EQ(session.position(), 64u);
    EXPECT_EQ(filled.tokens, std::vector<std::uint32_t>(session.token_prefix().begin() + 2,
                                                        session.token_prefix().end()));

    TransformerKvSession resumed(fixtureModel(), 1);
    restoreSnapshot(resumed, saveSnapshot(session), limits);
    std::vector<std::uint32_t> emitted;
    const GenerateResult again =
        generate(resumed, {}, options, [&](std::uint32_t id) { emitted.push_back(id); });
    EXPECT_EQ(again.stop, GenerateStop::context_full);
    EXPECT_TRUE(again.tokens.empty());
    EXPECT_TRUE(emitted.empty());
    EXPECT_EQ(saveSnapshot(resumed), saveSnapshot(session));
}

TEST(Generate, ASessionPrefixIsTheSessionFedOnlyThoseTokens) {
    const std::vector<std::uint32_t> tokens = {1, 9, 4, 33, 7, 2, 11};
    TransformerKvSession whole(fixtureModel(), 5);
    (void)forwardCached(singleSequence(tokens), whole, TransformerKvOptions{});
    const std::vector<std::uint8_t> before = saveSnapshot(whole);
    for (const std::uint64_t n : {0u, 1u, 4u, 7u}) {
        SCOPED_TRACE(n);
        TransformerKvSession fed(fixtureModel(), 5);
        if (n > 0) {
            (void)forwardCached(
                singleSequence({tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(n)}),
                fed, TransformerKvOptions{});
        }
        EXPECT_EQ(saveSnapshot(sessionPrefix(whole, n)), saveSnapshot(fed));
    }
    EXPECT_EQ(saveSnapshot(whole), before);
    EXPECT_THROW_MSG(sessionPrefix(whole, 8), std::invalid_argument,
                     "session prefix is longer than the session");
}

TEST(Generate, AnyEndIdEndsGeneration) {
    GenerateOptions options;
    options.max_tokens = 6;
    TransformerKvSession probe(fixtureModel(), 1);
    const GenerateResult free_run = generate(probe, std::vector<std::uint32_t>{1, 2}, options, {});
    ASSERT_EQ(free_run.tokens.size(), 6u);
    // An id the run never samples beside one it samples: it ends where that one first comes.
    std::uint32_t unused = 0;
    while (std::count(free_run.tokens.begin(), free_run.tokens.end(), unused) > 0) ++unused;
    options.end_ids = {unused, free_run.tokens[3]};
    const auto first =
        std::find(free_run.tokens.begin(), free_run.tokens.end(), free_run.tokens[3]);
    TransformerKvSession session(fixtureModel(), 1);
    const GenerateResult ended = generate(session, std::vector<std::uint32_t>{1, 2}, options, {});
    EXPECT_EQ(ended.stop, GenerateStop::eos);
    EXPECT_EQ(ended.tokens, std::vector<std::uint32_t>(free_run.tokens.begin(), first));
}

}  // namespace
