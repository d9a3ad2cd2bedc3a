#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "driver/entry.hpp"
#include "driver/expect.hpp"
#include "driver/fixture.hpp"
#include "driver/scenarios.hpp"
#include "support/expect_throw.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace Nuvexis::Core::Tarvel::Conformance;

namespace {

struct EntryRun {
    int status;
    std::string out;
    std::string err;
};

EntryRun run(const std::vector<Scenario>& scenarios) {
    std::ostringstream out, err;
    const int status = runScenarios(scenarios, out, err);
    return {status, out.str(), err.str()};
}

// The prefix-parity loop against a stand-in step that returns the logits of every cached
// position instead of only the new ones: it passes the first step and fails the second.
void parityWithAllPositionsStep(int& steps_compared) {
    const TransformerSpec spec = fixtureSpec(false, 2);
    const auto model = fixtureModel(spec, 1.0);
    const std::vector<std::uint32_t> sequence = {2, 7, 1, 9, 3, 4};
    for (std::size_t p = 1; p <= sequence.size(); ++p) {
        const std::vector<std::uint32_t> prefix(sequence.begin(),
                                                sequence.begin() + static_cast<std::ptrdiff_t>(p));
        const Tensor all_positions = transformerForward(spec, model->weights(),
                                                        fixtureBatch(prefix),
                                                        ForwardOptions{false, {}, true});
        const Tensor full = transformerForward(spec, model->weights(), fixtureBatch(prefix),
                                               ForwardOptions{false, {}, true});
        expectChunkMatchesFull(all_positions, full, p - 1);
        ++steps_compared;
    }
}

TEST(Scenarios, TheConformanceRunPasses) {
    const EntryRun r = run(conformanceScenarios());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(success_line) + "\n");
}

TEST(Scenarios, AStepReturningEveryPositionFailsOnTheSecondStep) {
    int compared = 0;
    bool later_ran = false;
    const EntryRun r = run({[&] { parityWithAllPositionsStep(compared); }, [&] { later_ran = true; }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "logit chunk extent mismatch\n");
    EXPECT_EQ(compared, 1);
    EXPECT_FALSE(later_ran);
}

// The failing-observer check against a stand-in step that commits first and calls the observer
// afterwards: the session has changed by the time the observer throws.
TEST(Scenarios, AStepThatCommitsBeforeItsObserverIsCaught) {
    const EntryRun r = run({[] {
        const TransformerSpec spec = fixtureSpec(false, 2);
        const auto model = fixtureModel(spec, 7.0);
        TransformerKvSession s2(model, 1);
        const auto before = saveSnapshot(s2);
        const auto commit_then_observe = [&] {
            const TransformerKvStep step = forwardCached(fixtureBatch({1}), s2, {});
            (void)step;
            throw std::runtime_error("observer failure");
        };
        try {
            commit_then_observe();
        } catch (const std::runtime_error&) {
        }
        expect(saveSnapshot(s2) == before, "observer failure mutated session");
    }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "observer failure mutated session\n");
}

TEST(Scenarios, ChunkComparisonTolerance) {
    const TransformerSpec spec = fixtureSpec(true, 2);
    const auto model = fixtureModel(spec, 3.0);
    const Tensor full = transformerForward(spec, model->weights(), fixtureBatch({1, 2, 3}),
                                           ForwardOptions{true, {}, true});
    Tensor chunk({1, 2, 11}, 0.0, true);
    for (std::uint64_t p = 0; p < 2; ++p) {
        for (std::uint64_t v = 0; v < 11; ++v) at(chunk, {0, p, v}) = at(full, {0, 1 + p, v});
    }
    EXPECT_NO_THROW(expectChunkMatchesFull(chunk, full, 1));
    at(chunk, {0, 1, 4}) += 3e-6;
    EXPECT_THROW_MSG(expectChunkMatchesFull(chunk, full, 1), std::runtime_error,
                     "cached logits differ from full recompute");
    EXPECT_THROW_MSG(expectChunkMatchesFull(chunk, full, 2), std::runtime_error,
                     "logit chunk extent mismatch");
    EXPECT_THROW_MSG(expectChunkMatchesFull(Tensor({2, 11}, 0.0, true), full, 0),
                     std::runtime_error, "logit chunk extent mismatch");
}

TEST(Scenarios, ExpectKvErrorAcceptsOnlyTheExpectedKind) {
    const auto throwing = [](TransformerKvErrorKind kind) {
        return [kind] { throw TransformerKvError(kind, "refused"); };
    };
    EXPECT_NO_THROW(expectKvError(throwing(TransformerKvErrorKind::invalid_input),
                                  TransformerKvErrorKind::invalid_input, "bad token was accepted"));
    EXPECT_THROW_MSG(expectKvError(throwing(TransformerKvErrorKind::invalid_state),
                                   TransformerKvErrorKind::invalid_input, "bad token was accepted"),
                     std::runtime_error, "bad token was accepted");
    EXPECT_THROW_MSG(expectKvError([] {}, TransformerKvErrorKind::context_exceeded,
                                   "context overflow was accepted"),
                     std::runtime_error, "context overflow was accepted");
    // A standard exception is not a refusal; it ends the run with its own message.
    const EntryRun r = run({[] {
        expectKvError([] { throw std::out_of_range("token id exceeds vocabulary"); },
                      TransformerKvErrorKind::invalid_input, "bad token was accepted");
    }});
    EXPECT_EQ(r.err, "token id exceeds vocabulary\n");
}

}  // namespace
