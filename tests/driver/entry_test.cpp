#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "driver/entry.hpp"
#include "driver/expect.hpp"
#include "support/expect_throw.hpp"

using namespace Nuvexis::Core::Tarvel::Conformance;

namespace {

TEST(Entry, SuccessWritesOnlyTheSuccessLine) {
    std::ostringstream out, err;
    int calls = 0;
    EXPECT_EQ(runScenarios({[&] { ++calls; }, [&] { ++calls; }}, out, err), 0);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(out.str(), std::string(success_line) + "\n");
    EXPECT_EQ(err.str(), "");
}

TEST(Entry, FirstFailureStopsTheRunWithItsMessageOnly) {
    std::ostringstream out, err;
    std::vector<int> ran;
    const std::vector<Scenario> scenarios = {
        [&] { ran.push_back(0); },
        [&] {
            ran.push_back(1);
            expect(false, "cached logits differ from full recompute");
        },
        [&] { ran.push_back(2); },
    };
    EXPECT_EQ(runScenarios(scenarios, out, err), 1);
    EXPECT_EQ(ran, (std::vector<int>{0, 1}));
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "cached logits differ from full recompute\n");
}

TEST(Entry, RuntimeExceptionsAreReportedWithTheirOwnMessage) {
    std::ostringstream out, err;
    EXPECT_EQ(runScenarios({[] { throw std::out_of_range("tensor index out of bounds"); }}, out,
                           err),
              1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "tensor index out of bounds\n");
}

TEST(Entry, SuccessLineIsExact) {
    EXPECT_STREQ(success_line,
                 "transformer-kv parity=PREFIX-EVERY-POSITION attention=MHA+GQA "
                 "chunks=PREFILL+DECODE snapshot=RESTORED fork=ISOLATED "
                 "bounds=0/1/CONTEXT/OVERFLOW bytes=EXACT failures=TRANSACTIONAL reset=FRESH "
                 "observer=CONST-STATS");
}

TEST(Expect, ThrowsRuntimeErrorWithTheMessageUnchanged) {
    EXPECT_NO_THROW(expect(true, "never"));
    EXPECT_THROW_MSG(expect(false, "fork mutated source cache"), std::runtime_error,
                     "fork mutated source cache");
}

TEST(ExpectNear, BoundaryNaNAndSignedZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NO_THROW(expectNear(1.5, 1.0, 0.5, "m"));      // equal to the tolerance passes
    EXPECT_NO_THROW(expectNear(0.0, -0.0, 0.0, "m"));     // signed zeros compare equal
    EXPECT_NO_THROW(expectNear(3.0, 3.0, 0.0, "m"));
    EXPECT_THROW_MSG(expectNear(1.0 + 3e-6, 1.0, 2e-6, "cached logits differ from full recompute"),
                     std::runtime_error, "cached logits differ from full recompute");
    EXPECT_THROW_MSG(expectNear(nan, 1.0, 2e-6, "forked caches diverged"), std::runtime_error,
                     "forked caches diverged");
    EXPECT_THROW_MSG(expectNear(1.0, nan, 1.0, "m"), std::runtime_error, "m");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_THROW_MSG(expectNear(inf, inf, 0.0, "m"), std::runtime_error, "m");
}

}  // namespace
