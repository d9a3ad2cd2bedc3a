#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "support/expect_throw.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

using Check = double (*)(double, bool);
struct Instance {
    Check check;
    const char* message;
};
const Instance instances[] = {
    {checkForwardValue, "transformer forward produced NaN/Inf"},
    {checkOperatorValue, "transformer operator produced NaN/Inf"},
    {checkCachedValue, "cached transformer produced NaN/Inf"},
};

TEST(ValueCheck, RefusesNonFiniteInBothPrecisions) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const Instance& instance : instances) {
        for (bool dp : {true, false}) {
            for (double x : {std::nan(""), inf, -inf}) {
                EXPECT_THROW_MSG(instance.check(x, dp), std::domain_error, instance.message);
            }
        }
    }
}

TEST(ValueCheck, RoundsToFloat32OnlyInReducedPrecision) {
    for (const Instance& instance : instances) {
        EXPECT_EQ(instance.check(0.1, true), 0.1);
        EXPECT_EQ(instance.check(0.1, false), 0.10000000149011612);
        EXPECT_TRUE(std::signbit(instance.check(-0.0, false)));
        EXPECT_EQ(instance.check(1e39, true), 1e39);
    }
}

// A finite double whose float32 rounding is infinite is refused in reduced precision: letting
// it through would put an infinity into returned logits or the KV cache.
TEST(ValueCheck, RefusesValuesBeyondTheFloat32Range) {
    const double flt_max = static_cast<double>(FLT_MAX);
    // Halfway between FLT_MAX and the next (unrepresentable) float32 step rounds to infinity;
    // the largest double below it rounds to FLT_MAX.
    const double halfway = flt_max + std::ldexp(1.0, 103);
    const double largest_to_max = std::nextafter(halfway, 0.0);
    for (const Instance& instance : instances) {
        EXPECT_THROW_MSG(instance.check(1e39, false), std::domain_error, instance.message);
        EXPECT_THROW_MSG(instance.check(-1e39, false), std::domain_error, instance.message);
        EXPECT_THROW_MSG(instance.check(halfway, false), std::domain_error, instance.message);
        EXPECT_EQ(instance.check(flt_max, false), flt_max);
        EXPECT_EQ(instance.check(largest_to_max, false), flt_max);
        EXPECT_EQ(instance.check(-largest_to_max, false), -flt_max);
    }
}

// g++ 12.2's SLP vectoriser at -O2 once dropped the float32 round trip in exactly this shape
// (a reduced-precision check applied to both halves of a rotated pair). Every result must be
// a float32 value.
[[gnu::noinline]] void rotatePairs(double* t, const double* c, const double* s, int n, bool dp) {
    for (int i = 0; i < n; i += 2) {
        const double x0 = t[i];
        const double x1 = t[i + 1];
        t[i] = checkOperatorValue(x0 * c[i / 2] - x1 * s[i / 2], dp);
        t[i + 1] = checkOperatorValue(x1 * c[i / 2] + x0 * s[i / 2], dp);
    }
}

TEST(ValueCheck, RotatedPairsStayFloat32Values) {
    constexpr int n = 64;
    double t[n];
    double c[n / 2];
    double s[n / 2];
    for (int i = 0; i < n; ++i) t[i] = std::sin(0.37 * i + 1.0) * 0.17;
    for (int k = 0; k < n / 2; ++k) {
        c[k] = std::cos(0.1 * k + 0.3);
        s[k] = std::sin(0.1 * k + 0.3);
    }
    rotatePairs(t, c, s, n, false);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(static_cast<double>(static_cast<float>(t[i])), t[i]) << "element " << i;
    }
}

}  // namespace
