#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>

#include "support/expect_throw.hpp"
#include "support/tensors.hpp"
#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

using tarvel_test::withStorage;

constexpr std::uint64_t two63 = std::uint64_t{1} << 63;
constexpr std::uint64_t two32 = std::uint64_t{1} << 32;

TEST(Tensor, ConstructorFillsAndKeepsPrecisionFlag) {
    Tensor t({2, 3}, 0.0, false);
    EXPECT_EQ(t.shape, (std::vector<std::uint64_t>{2, 3}));
    EXPECT_EQ(t.data.size(), 6u);
    EXPECT_FALSE(t.double_precision);
    for (double v : t.data) EXPECT_EQ(v, 0.0);
}

TEST(Tensor, DefaultIsTheAbsentTensor) {
    Tensor t;
    EXPECT_TRUE(t.shape.empty());
    EXPECT_TRUE(t.data.empty());
    EXPECT_TRUE(t.double_precision);
}

TEST(Tensor, RankZeroHoldsOneElementAddressedByTheEmptyTuple) {
    Tensor t({}, 0.0, true);
    ASSERT_EQ(t.data.size(), 1u);
    at(t, {}) = 2.5;
    EXPECT_EQ(at(std::as_const(t), {}), 2.5);
    EXPECT_EQ(elementCount({}), 1u);
}

struct CountCase {
    std::vector<std::uint64_t> shape;
    const char* error;  // nullptr when a count is expected
    bool overflow;
    std::uint64_t count;
};

TEST(Tensor, ElementCountRules) {
    const std::vector<CountCase> cases = {
        {{2, 3}, nullptr, false, 6},
        {{2, 0, 3}, "tensor extent must be positive", false, 0},
        {{0, two63, 4}, "tensor extent must be positive", false, 0},
        {{two63, 4}, "tensor shape overflows size_t", true, 0},
        {{two63, 4, 0}, "tensor shape overflows size_t", true, 0},
        {{two32, two32}, "tensor shape overflows size_t", true, 0},
        {{two32, two32 - 1}, nullptr, false, (two32 - 1) * two32},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.shape));
        if (c.error == nullptr) {
            EXPECT_EQ(elementCount(c.shape), c.count);
        } else if (c.overflow) {
            EXPECT_THROW_MSG(elementCount(c.shape), std::overflow_error, c.error);
            EXPECT_THROW_MSG(Tensor(c.shape, 0.0, true), std::overflow_error, c.error);
        } else {
            EXPECT_THROW_MSG(elementCount(c.shape), std::invalid_argument, c.error);
            EXPECT_THROW_MSG(Tensor(c.shape, 0.0, true), std::invalid_argument, c.error);
        }
    }
}

TEST(Tensor, HugeShapeFailsAsTheLibrarysOwnAllocationError) {
    EXPECT_THROW(Tensor({two63 / 2}, 0.0, true), std::length_error);
}

TEST(Tensor, FlatIndexAndAt) {
    Tensor t({2, 3}, 0.0, true);
    EXPECT_EQ(flatIndex(t.shape, {1, 2}), 5u);
    EXPECT_EQ(flatIndex(t.shape, {0, 0}), 0u);
    EXPECT_THROW_MSG(flatIndex(t.shape, {1}), std::out_of_range, "tensor rank mismatch");
    EXPECT_THROW_MSG(flatIndex(t.shape, {2, 0}), std::out_of_range, "tensor index out of bounds");
    EXPECT_THROW_MSG(flatIndex(t.shape, {0, 3}), std::out_of_range, "tensor index out of bounds");
    EXPECT_THROW_MSG(at(t, {1, 2, 0}), std::out_of_range, "tensor rank mismatch");
    EXPECT_THROW_MSG(at(std::as_const(t), {0, 3}), std::out_of_range,
                     "tensor index out of bounds");
    at(t, {1, 2}) = 4.0;
    EXPECT_EQ(t.data[5], 4.0);
    EXPECT_EQ(at(std::as_const(t), {1, 2}), 4.0);
    const std::vector<std::uint64_t> runtime_index{1, 0};
    at(t, runtime_index) = 7.0;
    EXPECT_EQ(t.data[3], 7.0);
}

TEST(Tensor, RequireShapeComparesRankThenExtents) {
    const Tensor four({4}, 0.0, true);
    const Tensor four_one({4, 1}, 0.0, true);
    const Tensor one_four({1, 4}, 0.0, true);
    EXPECT_NO_THROW(requireShape(one_four, {1, 4}, "linear input"));
    EXPECT_THROW_MSG(requireShape(four, {1, 4}, "linear input"), std::invalid_argument,
                     "linear input has an invalid shape");
    EXPECT_THROW_MSG(requireShape(four_one, {1, 4}, "linear weight"), std::invalid_argument,
                     "linear weight has an invalid shape");
    EXPECT_THROW_MSG(requireShape(Tensor{}, {4}, "final norm"), std::invalid_argument,
                     "final norm has an invalid shape");
}

// Storage that holds fewer or more values than the shape counts makes the tensor misshapen for
// every shape demand, which every operation makes before it indexes a tensor.
TEST(Tensor, StorageMustHoldTheShapesElementCount) {
    const Tensor full({2, 3}, 1.0, true);
    for (const std::size_t stored : {std::size_t{0}, std::size_t{5}, std::size_t{7}}) {
        SCOPED_TRACE(stored);
        const Tensor t = withStorage(full, stored);
        EXPECT_FALSE(hasShape(t, std::vector<std::uint64_t>{2, 3}));
        EXPECT_THROW_MSG(requireShape(t, {2, 3}, "linear input"), std::invalid_argument,
                         "linear input has an invalid shape");
        EXPECT_THROW_MSG(detail::restateShape(t, {2, 3}), std::out_of_range,
                         "tensor index out of bounds");
    }
    // The absent tensor holds no element, so it is not a rank-0 tensor.
    EXPECT_THROW_MSG(requireShape(Tensor{}, {}, "final norm"), std::invalid_argument,
                     "final norm has an invalid shape");
    EXPECT_NO_THROW(requireShape(Tensor({}, 0.0, true), {}, "final norm"));
    // Zero extents count nothing, so only empty storage matches them.
    Tensor hollow;
    hollow.shape = {3, 0};
    EXPECT_NO_THROW(requireShape(hollow, {3, 0}, "linear input"));
    EXPECT_THROW_MSG(requireShape(withStorage(hollow, 1), {3, 0}, "linear input"),
                     std::invalid_argument, "linear input has an invalid shape");
}

// A shape whose element count wraps around 64 bits counts nothing that storage could hold,
// however few values the caller stored for it.
TEST(Tensor, ShapesWhoseCountWrapsMatchNoStorage) {
    Tensor wrapped;
    wrapped.shape = {two32, two32};  // 2^64 elements: 0 when wrapped
    EXPECT_THROW_MSG(requireShape(wrapped, {two32, two32}, "linear weight"), std::invalid_argument,
                     "linear weight has an invalid shape");
    EXPECT_THROW_MSG(detail::restateShape(wrapped, {two32, two32}), std::out_of_range,
                     "tensor index out of bounds");
}

}  // namespace
