#include <gtest/gtest.h>

#include <utility>

#include "driver/fixture.hpp"
#include "tarvel/tarvel.hpp"

// The documented call forms, written exactly as a user writes them against the umbrella
// header, plus the README's example. If this file stops compiling, the public API changed.
namespace {

using namespace Nuvexis::Core::Tarvel;

TEST(CallForms, CompileAndRun) {
    Tensor t({2, 3}, 0.0, true);  // shape, fill, double_precision
    at(t, {1, 2}) = 4.0;          // validated element access; allocates nothing
    double v = at(std::as_const(t), {1, 2});
    std::uint64_t n = elementCount({2, 3});
    std::uint64_t off = flatIndex(t.shape, {1, 2});
    requireShape(t, {2, 3}, "linear input");
    double r = checkOperatorValue(0.1, false);
    EXPECT_EQ(v, 4.0);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(off, 5u);
    EXPECT_EQ(r, 0.10000000149011612);

    TransformerSpec spec;  // defaults as documented
    spec.position.rope_base = 10000.0;
    spec.normalization.epsilon = 1e-5;
    spec.precision.kv_cache = DType::f32;
    spec.feed_forward = static_cast<FeedForwardKind>(7);  // out-of-range codes are storable
    std::vector<SpecIssue> issues = validateSpec(spec);   // SpecIssue{path, message}
    std::optional<std::uint64_t> params = parameterCount(spec);
    std::string text = canonicalSpecText(spec);
    std::uint64_t fp = specFingerprint(spec);
    EXPECT_FALSE(issues.empty());
    EXPECT_TRUE(params.has_value());
    EXPECT_EQ(fp, checksum64(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));

    spec = Conformance::fixtureSpec(false, 2);
    TransformerWeights weights = Conformance::fixtureWeights(spec, 1.0);
    auto model =
        std::make_shared<const TransformerModel>(spec, weights, std::optional<std::string>{});
    model->spec();
    model->weights();
    model->tokenizer_identity();
    model->artifact_checksum();
    model->artifact_bytes();

    TokenBatch batch{1, 3, {1, 2, 3}, {}};  // batch, width, tokens, lengths
    Tensor logits =
        transformerForward(spec, model->weights(), batch, ForwardOptions{true, {}, true});

    TransformerKvSession s(model, 1);
    s.position();
    s.tag();
    s.aux();
    s.token_prefix();
    s.tokenizer_state();
    s.cache();
    s.model();
    s.setTokenPrefix({1});
    s.setCache({});
    s.advancePosition(1);
    s.reset(1);
    TransformerKvSession fork = s;  // copy construction is the fork
    TransformerKvOptions options;   // double_precision false, max_cache_bytes 512 MiB, no observer
    TransformerKvStep step = forwardCached(batch, s, options);
    TransformerKvStats stats = kvStats(s);
    std::uint64_t per_token = kvBytesPerToken(spec);
    try {
        (void)forwardCached(TokenBatch{1, 6, {1, 1, 1, 1, 1, 1}, {}}, s, options);
    } catch (const TransformerKvError& e) {
        EXPECT_TRUE(e.kind() == TransformerKvErrorKind::context_exceeded);
    }

    std::vector<std::uint8_t> bytes = saveSnapshot(s);
    ArtifactLimits limits{1073741824, 16777216, 536870912, 100000, 8, 1048576, 1048576, 536870912};
    restoreSnapshot(s, bytes, limits);
    std::uint64_t h = checksum64(bytes.data(), bytes.size());

    EXPECT_EQ(logits.shape, (std::vector<std::uint64_t>{1, 3, 11}));
    EXPECT_EQ(step.logits.shape, (std::vector<std::uint64_t>{1, 3, 11}));
    EXPECT_EQ(stats.tokens, 3u);
    EXPECT_EQ(per_token, 64u);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(fork.position(), 0u);
}

// The README's example, kept compiling and true.
TEST(CallForms, ReadmeExample) {
    using Conformance::fixtureSpec;
    using Conformance::fixtureWeights;
    const TransformerSpec spec = fixtureSpec(true, 2);
    auto model = std::make_shared<const TransformerModel>(spec, fixtureWeights(spec, 3.0));

    TransformerKvSession session(model, 1);
    TransformerKvOptions options;
    TransformerKvStep prefill = forwardCached(TokenBatch{1, 3, {1, 2, 3}, {}}, session, options);
    TransformerKvStep decode = forwardCached(TokenBatch{1, 1, {4}, {}}, session, options);

    TransformerKvSession branch = session;  // fork: shares only the model
    (void)forwardCached(TokenBatch{1, 1, {5}, {}}, branch, options);

    std::vector<std::uint8_t> snapshot = saveSnapshot(session);
    TransformerKvSession resumed(model, 1);
    restoreSnapshot(resumed, snapshot,
                    ArtifactLimits{1 << 30, 1 << 24, 1 << 29, 100000, 8, 1 << 20, 1 << 20, 1 << 29});

    EXPECT_EQ(prefill.logits.shape, (std::vector<std::uint64_t>{1, 3, 11}));
    EXPECT_EQ(decode.stats.tokens, 4u);
    EXPECT_EQ(branch.position(), 5u);
    EXPECT_EQ(session.position(), 4u);
    EXPECT_EQ(saveSnapshot(resumed), snapshot);
}

}  // namespace
