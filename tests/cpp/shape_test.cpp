#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::dims_of;
using test::Throws;
using U = std::vector<uint64_t>;

constexpr uint64_t P32 = uint64_t{1} << 32;
constexpr uint64_t P62 = uint64_t{1} << 62;
constexpr uint64_t I64MAX = INT64_MAX;

TEST(ShapeTest, RankLimit) {
    const Shape four(U{1, 2, 3, 4});
    EXPECT_EQ(four.rank(), 4U);
    EXPECT_EQ(dims_of(four), (U{1, 2, 3, 4}));
    EXPECT_TRUE(Throws<std::length_error>([] { (void)Shape(U{1, 2, 3, 4, 5}); }, "Shape: rank exceeds MAX_RANK"));
    // The rank is judged before the element count.
    EXPECT_TRUE(Throws<std::length_error>(
        [] {
            (void)Shape(U{P62, P62, P62, P62, P62});
        },
        "Shape: rank exceeds MAX_RANK"));
}

TEST(ShapeTest, ElementCountsAndRowMajorStrides) {
    const struct {
        U dims;
        uint64_t numel;
        U strides;
    } table[] = {
        {{}, 1, {}},
        {{7}, 7, {1}},
        {{2, 3, 4}, 24, {12, 4, 1}},
        {{2, 0, 3}, 0, {0, 3, 1}},
        {{3, 1, 2, 5}, 30, {10, 10, 5, 1}},
        {{I64MAX}, I64MAX, {1}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(::testing::PrintToString(row.dims));
        const Shape s(row.dims);
        EXPECT_EQ(s.rank(), row.dims.size());
        EXPECT_EQ(s.numel(), row.numel);
        const Strides st = Strides::contiguous_for(s);
        EXPECT_EQ(dims_of(st), row.strides);
        EXPECT_TRUE(is_contiguous(s, st));
    }
}

TEST(ShapeTest, PositionsPastTheRankReadZero) {
    const Shape s(U{5, 6});
    EXPECT_EQ(s[2], 0U);
    EXPECT_EQ(s[3], 0U);
    const Strides st(U{9, 8});
    EXPECT_EQ(st[3], 0U);
}

// numel() must fit a signed 64-bit value; a 0 anywhere makes any sizes fine.
TEST(ShapeTest, ElementCountOverflow) {
    const struct {
        U dims;
        bool fits;
    } table[] = {
        {{P32, P32}, false},
        {{P62, 2}, false},
        {{2, P62}, false},
        {{P62, P62, 0}, true},
        {{0, UINT64_MAX, UINT64_MAX}, true},
        {{UINT64_MAX}, false},
        {{uint64_t{1} << 63}, false},
        {{I64MAX, 1, 1, 1}, true},
        {{3, I64MAX / 3}, true},
        {{3, I64MAX / 3 + 1}, false},
        {{2, 2, P62 / 2 - 1}, true},
        {{2, 2, P62 / 2}, false},
        {{P32, P32, 0, P32}, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(::testing::PrintToString(row.dims));
        for (bool from_span : {false, true}) {
            const auto make = [&] { return from_span ? Shape(std::span<const uint64_t>(row.dims)) : Shape(row.dims); };
            if (row.fits) {
                EXPECT_LE(make().numel(), I64MAX);
            } else {
                EXPECT_TRUE(Throws<std::length_error>(make, "Shape: element count overflows int64"));
            }
        }
    }
}

TEST(StridesTest, FromList) {
    const Strides st(U{4, 3, 2, 1});
    EXPECT_EQ(st.rank(), 4U);
    EXPECT_EQ(dims_of(st), (U{4, 3, 2, 1}));
    EXPECT_EQ(Strides(U{}).rank(), 0U);
    EXPECT_TRUE(Throws<std::length_error>([] { (void)Strides(U{1, 1, 1, 1, 1}); }, "Strides: rank exceeds MAX_RANK"));
}

}  // namespace
}  // namespace quarnel
