#include <gtest/gtest.h>
#include <malloc.h>

#include <bit>
#include <new>

#include "support/feature_models.hpp"
#include "support/models.hpp"
#include "tests/alloc/failing_allocator.hpp"
#include "tests/alloc/sweep.hpp"

using namespace tarvel_test;

namespace {

bool sameBits(const Tensor& a, const Tensor& b) {
    if (a.shape != b.shape || a.double_precision != b.double_precision ||
        a.data.size() != b.data.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.data.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(a.data[i]) != std::bit_cast<std::uint64_t>(b.data[i])) {
            return false;
        }
    }
    return true;
}

// Construction lets std::bad_alloc through from its validation pass and from the artifact it
// builds; no part of a failed model survives, and the model that finally comes into being is
// the unhindered one.
TEST(AllocationSweep, ModelConstructionThrowsCleanly) {
    const TransformerSpec spec = smallSpec(2, 2, 1, 2, FeedForwardKind::gelu, false);
    const auto reference = makeModel(spec, 4.0, "tok-v1");
    // The reference's own views are made once, before the sweep counts what stays allocated.
    (void)reference->weights();
    (void)reference->artifact_bytes();

    const std::uint64_t swept = tarvel_alloc::sweepAllocations("model construction", [&](auto n) {
        // The arguments are copied before arming and moved in, so the sweep covers the
        // constructor and not the caller's copies.
        TransformerSpec spec_copy = reference->spec();
        TransformerWeights weights = reference->weights();
        std::optional<std::string> identity = reference->tokenizer_identity();
        std::shared_ptr<const TransformerModel> model;
        try {
            tarvel_alloc::Armed armed(n);
            model = std::make_shared<const TransformerModel>(
                std::move(spec_copy), std::move(weights), std::move(identity));
        } catch (const std::bad_alloc&) {
        }
        if (model) {
            EXPECT_EQ(model->artifact_bytes(), reference->artifact_bytes());
        }
        return model != nullptr;
    });
    EXPECT_GT(swept, 20u);
}

// The double view and the artifact are made on first request. A request that fails to allocate
// leaves the model as it was and usable: the next request makes them, equal to those of a model
// that never failed.
TEST(AllocationSweep, LazyViewsThrowCleanlyAndAreMadeByALaterRequest) {
    const TransformerSpec spec = smallSpec(2, 2, 1, 2, FeedForwardKind::gelu, false);
    const auto reference = makeModel(spec, 4.0, "tok-v1");
    const std::vector<std::uint8_t> expected_bytes = reference->artifact_bytes();
    const TokenBatch probe{1, 3, {1, 2, 3}, {}};
    const Tensor expected_logits = transformerForward(spec, reference->weights(), probe, {});

    for (const bool bytes_first : {true, false}) {
        const std::uint64_t swept = tarvel_alloc::sweepAllocations("lazy views", [&](auto n) {
            const auto model = makeModel(spec, 4.0, "tok-v1");
            bool completed = true;
            try {
                tarvel_alloc::Armed armed(n);
                if (bytes_first) (void)model->artifact_bytes();
                (void)model->weights();
                (void)model->artifact_bytes();
            } catch (const std::bad_alloc&) {
                completed = false;
            }
            EXPECT_EQ(model->artifact_bytes(), expected_bytes);
            EXPECT_EQ(model->artifact_checksum(), reference->artifact_checksum());
            EXPECT_TRUE(
                sameBits(transformerForward(spec, model->weights(), probe, {}), expected_logits));
            return completed;
        });
        EXPECT_GT(swept, 5u);
    }
}

// A padded batch in reduced precision with a trace: every intermediate and trace name is
// allocated along the way.
TEST(AllocationSweep, FullForwardPassThrowsCleanly) {
    const auto model = makeModel(fixtureSpec(true, 2), 1.0);
    const TokenBatch batch{2, 3, {1, 2, 3, 4, 5, 0}, {3, 2}};
    int traced = 0;
    const ForwardOptions options{false, [&](std::string_view, const Tensor&) { ++traced; }, true};
    const Tensor reference = transformerForward(model->spec(), model->weights(), batch, options);

    const std::uint64_t swept = tarvel_alloc::sweepAllocations("full forward pass", [&](auto n) {
        Tensor logits;
        bool failed = false;
        try {
            tarvel_alloc::Armed armed(n);
            logits = transformerForward(model->spec(), model->weights(), batch, options);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        if (!failed) {
            EXPECT_TRUE(sameBits(logits, reference));
        }
        return !failed;
    });
    EXPECT_GT(swept, 20u);
    EXPECT_GT(traced, 0);
}

// The working memory the full pass announces bounds what it really holds at once, whether a
// layer (vocabulary 100) or the logits (vocabulary 1000) need the most. Every term of the bound
// is several KiB here, so one left out would show; the slack covers the shapes' own small
// vectors and the C library's rounding of each block, which stays small while no block is
// large enough to be mapped in whole pages. The bound is not loose either.
// A model with every feature of the block (model_dim 24 beside heads of 32) holds no more.
TEST(AllocationSweep, FullForwardPassStaysWithinItsAnnouncedWorkingMemory) {
    ASSERT_EQ(mallopt(M_MMAP_THRESHOLD, 16 << 20), 1);
    for (const auto& [vocabulary, features] :
         {std::pair{100u, false}, std::pair{1000u, false}, std::pair{100u, true}}) {
        TransformerSpec spec =
            smallSpec(2, 4, 2, 8, FeedForwardKind::swiglu, false, 16, vocabulary);
        spec.ffn_dim = 64;
        if (features) {
            spec.model_dim = 24;
            spec.position.scaling = {RopeScalingKind::llama3, 4.0, 1.0, 4.0, 64};
            spec.attention = {true, true, true, 5, WindowLayers::even, 12.0, 2.5};
            spec.normalization.unit_offset = true;
            spec.normalization.post_attention = true;
            spec.normalization.post_feed_forward = true;
            spec.feed_forward = FeedForwardKind::geglu_tanh;
            spec.embedding_scale = 4.90625;
            spec.logit_softcap = 3.0;
        }
        const auto model = features ? featureModel(spec, 2) : makeModel(spec, 2.0);
        (void)model->weights();  // the double view is made on first use, not by the pass
        std::vector<std::uint32_t> tokens(4 * 16);
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            tokens[i] = static_cast<std::uint32_t>(i % 97);
        }
        const TokenBatch dense{4, 16, tokens, {}};
        const TokenBatch padded{4, 16, tokens, {16, 3, 0, 9}};
        for (const TokenBatch* batch : {&dense, &padded}) {
            for (const bool logits : {true, false}) {
                SCOPED_TRACE(::testing::Message()
                             << "vocabulary " << vocabulary << ", features " << features << ", "
                             << (batch == &dense ? "dense" : "padded") << ", logits " << logits);
                const ForwardOptions options{false, {}, logits};
                const std::uint64_t announced = forwardWorkingBytes(model->spec(), *batch, options);
                const std::uint64_t before = tarvel_alloc::liveBytes();
                tarvel_alloc::resetPeakBytes();
                {
                    const Tensor result =
                        transformerForward(model->spec(), model->weights(), *batch, options);
                }
                const std::uint64_t peak = tarvel_alloc::peakBytes() - before;
                EXPECT_LE(peak, announced + 2048);
                EXPECT_GE(peak, announced / 4 * 3);
            }
        }
    }
}

}  // namespace
