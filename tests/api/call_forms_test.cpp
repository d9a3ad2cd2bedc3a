#include <gtest/gtest.h>

#include <utility>

#include "driver/fixture.hpp"
#include "tarvel/tarvel.hpp"

// The documented call forms, written exactly as a user writes them against the umbrella
// header, plus the README's example. If this file stops compiling, the public API changed; each
// form's result is checked, so a form that compiles but does the wrong thing fails too.
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
    EXPECT_EQ(spec.position.rope_base, 10000.0);
    EXPECT_EQ(spec.normalization.epsilon, 1e-5);
    EXPECT_EQ(spec.precision.kv_cache, DType::f32);
    EXPECT_EQ(static_cast<int>(spec.feed_forward), 7);
    EXPECT_FALSE(issues.empty());
    EXPECT_TRUE(params.has_value());
    EXPECT_EQ(text.rfind("tarvel-transformer-spec-v1;", 0), 0u);
    EXPECT_NE(text.find("12:feed_forward=1:7;"), std::string::npos);
    EXPECT_EQ(fp, checksum64(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));

    spec = Conformance::fixtureSpec(false, 2);
    TransformerWeights weights = Conformance::fixtureWeights(spec, 1.0);
    auto model =
        std::make_shared<const TransformerModel>(spec, weights, std::optional<std::string>{});
    EXPECT_EQ(canonicalSpecText(model->spec()), canonicalSpecText(spec));
    EXPECT_EQ(model->weights().layers.size(), 2u);
    EXPECT_EQ(model->weights().token_embedding.data, weights.token_embedding.data);
    EXPECT_FALSE(model->tokenizer_identity().has_value());
    EXPECT_EQ(model->artifact_checksum(), artifactGlobalChecksum(model->artifact_bytes()));
    EXPECT_EQ(model->artifact_bytes(),
              buildModelArtifact(spec, weights, model->tokenizer_identity()));

    TokenBatch batch{1, 3, {1, 2, 3}, {}};  // batch, width, tokens, lengths
    Tensor logits =
        transformerForward(spec, model->weights(), batch, ForwardOptions{true, {}, true});

    TransformerKvSession s(model, 1);
    EXPECT_EQ(s.position(), 0u);
    EXPECT_EQ(s.tag(), 1u);
    EXPECT_EQ(s.aux(), 0u);
    EXPECT_TRUE(s.token_prefix().empty());
    EXPECT_TRUE(s.tokenizer_state().empty());
    EXPECT_TRUE(s.cache().empty());
    EXPECT_EQ(s.model(), model);
    s.setTokenPrefix({1});
    EXPECT_EQ(s.token_prefix(), (std::vector<std::uint32_t>{1}));
    s.setCache({Tensor({1}, 0.5, true)});
    EXPECT_EQ(s.cache().size(), 1u);
    s.setCache({});
    EXPECT_TRUE(s.cache().empty());
    s.advancePosition(1);
    EXPECT_EQ(s.position(), 1u);
    s.reset(1);
    EXPECT_EQ(s.position(), 0u);
    EXPECT_TRUE(s.token_prefix().empty());
    TransformerKvSession fork = s;  // copy construction is the fork
    EXPECT_EQ(fork.model(), s.model());
    TransformerKvOptions options;  // double_precision false, max_cache_bytes 512 MiB, no observer
    EXPECT_FALSE(options.double_precision);
    EXPECT_EQ(options.max_cache_bytes, 536870912u);
    EXPECT_FALSE(options.observer);
    TransformerKvStep step = forwardCached(batch, s, options);
    TransformerKvStats stats = kvStats(s);
    std::uint64_t per_token = kvBytesPerToken(spec);
    bool refused = false;
    try {
        (void)forwardCached(TokenBatch{1, 6, {1, 1, 1, 1, 1, 1}, {}}, s, options);
    } catch (const TransformerKvError& e) {
        refused = true;
        EXPECT_TRUE(e.kind() == TransformerKvErrorKind::context_exceeded);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(s.position(), 3u);  // the refused step changed nothing

    // The cached step in double precision gives the full pass's logits, bit for bit.
    TransformerKvOptions exact;
    exact.double_precision = true;
    TransformerKvSession exact_session(model, 1);
    EXPECT_EQ(forwardCached(batch, exact_session, exact).logits.data, logits.data);

    std::vector<std::uint8_t> bytes = saveSnapshot(s);
    ArtifactLimits limits{1073741824, 16777216, 536870912, 100000, 8, 1048576, 1048576, 536870912};
    TransformerKvSession restored(model, 5);
    restoreSnapshot(restored, bytes, limits);
    EXPECT_EQ(restored.position(), 3u);
    EXPECT_EQ(restored.token_prefix(), s.token_prefix());
    EXPECT_EQ(saveSnapshot(restored), bytes);
    std::uint64_t h = checksum64(bytes.data(), bytes.size());

    EXPECT_EQ(logits.shape, (std::vector<std::uint64_t>{1, 3, 11}));
    EXPECT_EQ(step.logits.shape, (std::vector<std::uint64_t>{1, 3, 11}));
    EXPECT_EQ(stats, step.stats);
    EXPECT_EQ(stats.tokens, 3u);
    EXPECT_EQ(stats.used_bytes, 3 * per_token);
    EXPECT_EQ(per_token, 64u);
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(checksum64(abc, 3), checksum64(abc, 3));
    EXPECT_NE(checksum64(abc, 3), checksum64(abc, 2));
    EXPECT_NE(h, checksum64(bytes.data(), bytes.size() - 1));
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
    restoreSnapshot(
        resumed, snapshot,
        ArtifactLimits{1 << 30, 1 << 24, 1 << 29, 100000, 8, 1 << 20, 1 << 20, 1 << 29});

    EXPECT_EQ(prefill.logits.shape, (std::vector<std::uint64_t>{1, 3, 11}));
    EXPECT_EQ(decode.stats.tokens, 4u);
    EXPECT_EQ(branch.position(), 5u);
    EXPECT_EQ(session.position(), 4u);
    EXPECT_EQ(saveSnapshot(resumed), snapshot);
}

}  // namespace
