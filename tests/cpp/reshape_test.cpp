#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::dims_of;
using test::floats_of;
using test::iota_storage;
using test::Throws;
using L = std::vector<long long>;
using U = std::vector<uint64_t>;

constexpr long long P32 = 1LL << 32;
constexpr long long P62 = 1LL << 62;
constexpr uint64_t UP62 = uint64_t{1} << 62;
constexpr uint64_t UP32 = uint64_t{1} << 32;

const std::string RANK = "Shape: rank exceeds MAX_RANK";
const std::string MISMATCH = "view/reshape: numel mismatch";
const std::string NOT_DIVISIBLE = "view/reshape: numel is not divisible by known dims";
const std::string CANNOT_INFER = "view/reshape: cannot infer dimension";
const std::string ONE_MINUS_ONE = "view/reshape: only one -1 dimension allowed";
const std::string NEGATIVE = "view/reshape: dimensions must be >= 0 or -1";

// Either the resolved shape or the message of the failure; every failure is
// std::invalid_argument except the rank one, which is std::length_error.
struct Case {
    long long total;
    L dims;
    std::optional<U> shape;
    std::string error;
};

void check_resolution(const Case& c, const std::function<Shape(const L&)>& resolve) {
    SCOPED_TRACE(::testing::Message() << "total " << c.total << ", dims " << ::testing::PrintToString(c.dims));
    if (c.shape) {
        Shape s;
        ASSERT_NO_THROW(s = resolve(c.dims));
        EXPECT_EQ(dims_of(s), *c.shape);
    } else if (c.error == RANK) {
        EXPECT_TRUE(Throws<std::length_error>([&] { resolve(c.dims); }, c.error));
    } else {
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { resolve(c.dims); }, c.error));
    }
}

const Case RESOLUTION_CASES[] = {
    {6, {3, 2}, U{3, 2}, ""},
    {6, {6}, U{6}, ""},
    {6, {1, 6, 1}, U{1, 6, 1}, ""},
    {6, {-1}, U{6}, ""},
    {6, {2, -1}, U{2, 3}, ""},
    {6, {1, 1, 1, 6}, U{1, 1, 1, 6}, ""},
    {6, {1, 1, 1, 1, 6}, {}, RANK},
    {6, {-1, -1, 1, 1, 1}, {}, RANK},  // the rank comes before everything
    {6, {-2, 1, 1, 1, 1}, {}, RANK},
    {6, {}, {}, MISMATCH},
    {6, {7}, {}, MISMATCH},
    {6, {4, -1}, {}, NOT_DIVISIBLE},
    {6, {0, -1}, {}, CANNOT_INFER},
    {6, {-1, -1}, {}, ONE_MINUS_ONE},
    {6, {2, -3}, {}, NEGATIVE},
    {6, {-1, -1, -2}, {}, ONE_MINUS_ONE},  // the first offending entry decides
    {6, {-2, -1, -1}, {}, NEGATIVE},
    {6, {7, -1, -1}, {}, ONE_MINUS_ONE},
    {1, {}, U{}, ""},
    {1, {-1}, U{1}, ""},
    {1, {1, 1}, U{1, 1}, ""},
    {0, {-1, 3}, U{0, 3}, ""},
    {0, {0, -1}, U{0, 0}, ""},
    {0, {-1}, U{0}, ""},
    {0, {5, 0}, U{5, 0}, ""},
    {0, {3}, {}, MISMATCH},
    {0, {}, {}, MISMATCH},
    // Products past LLONG_MAX are judged exactly, never wrapped.
    {0, {P62, 4}, {}, MISMATCH},
    {0, {P32, P32}, {}, MISMATCH},
    {-2, {LLONG_MAX, 2}, {}, MISMATCH},
    {LLONG_MAX, {LLONG_MAX, 2}, {}, MISMATCH},
    {0, {P62, 4, -1}, U{UP62, 4, 0}, ""},
    {0, {P32, P32, -1}, U{UP32, UP32, 0}, ""},
    {0, {-1, LLONG_MAX, LLONG_MAX}, U{0, LLONG_MAX, LLONG_MAX}, ""},
    {6, {P62, 4, -1}, {}, NOT_DIVISIBLE},
    {6, {P32, P32, -1}, {}, NOT_DIVISIBLE},
    {LLONG_MAX, {P62, 4, -1}, {}, NOT_DIVISIBLE},
    {0, {P62, 4, 0}, U{UP62, 4, 0}, ""},
    {0, {P62, 4, 0, -1}, U{UP62, 4, 0, 0}, ""},
    {6, {P62, 4, 0, -1}, {}, CANNOT_INFER},
    {0, {P62, 4, -2}, {}, NEGATIVE},  // an overflowing product does not end the scan
    {0, {P62, 4, -1, -1}, {}, ONE_MINUS_ONE},
    {LLONG_MAX, {LLONG_MAX}, U{INT64_MAX}, ""},
    {LLONG_MAX, {LLONG_MAX, 1}, U{INT64_MAX, 1}, ""},
    {LLONG_MAX, {7, -1}, U{7, INT64_MAX / 7}, ""},
    {LLONG_MAX, {-1, 1, 1, 1}, U{INT64_MAX, 1, 1, 1}, ""},
    {LLONG_MAX, {2, -1}, {}, NOT_DIVISIBLE},
};

TEST(ReshapeTest, ResolveShape) {
    for (const Case& c : RESOLUTION_CASES) {
        check_resolution(c, [&](const L& dims) { return resolve_shape(c.total, dims); });
    }
}

// view and reshape resolve the list exactly as resolve_shape does.
TEST(ReshapeTest, ViewAndReshapeResolveLikeResolveShape) {
    for (const Case& c : RESOLUTION_CASES) {
        if (c.total < 0 || c.total > 64) continue;
        const U src_shape = c.total == 1 ? U{} : U{static_cast<uint64_t>(c.total), 1};
        const Tensor src(Shape(src_shape), Dtype::FLOAT32, Device::CPU, false);
        check_resolution(c, [&](const L& dims) { return src.view(dims).shape(); });
        check_resolution(c, [&](const L& dims) { return src.reshape(dims).shape(); });
    }
}

TEST(ReshapeTest, InferDimAndBadReshape) {
    EXPECT_EQ(infer_dim(6, 2), 3);
    EXPECT_EQ(infer_dim(0, 0), 0);
    EXPECT_EQ(infer_dim(0, 5), 0);
    EXPECT_TRUE(Throws<std::invalid_argument>([] { infer_dim(6, 0); }, CANNOT_INFER));
    EXPECT_TRUE(Throws<std::invalid_argument>([] { infer_dim(7, 2); }, NOT_DIVISIBLE));
    EXPECT_TRUE(Throws<std::invalid_argument>([] { infer_dim(LLONG_MIN, -1); }, NOT_DIVISIBLE));
    EXPECT_TRUE(Throws<std::invalid_argument>([] { bad_reshape("why"); }, "view/reshape: why"));
}

TEST(ReshapeTest, ViewSharesStorageWithFreshStrides) {
    const Tensor src(Shape(U{2, 3, 4}), Dtype::INT32, Device::CPU);
    const Tensor v = src.view({4, -1});
    EXPECT_EQ(dims_of(v.shape()), (U{4, 6}));
    EXPECT_EQ(dims_of(v.strides()), (U{6, 1}));
    EXPECT_EQ(v.offset(), 0U);
    EXPECT_EQ(v.storage(), src.storage());
    EXPECT_NE(v.impl(), src.impl());
    EXPECT_EQ(dims_of(src.shape()), (U{2, 3, 4}));

    const Tensor same = src.view({2, 3, 4});  // even the own shape gives a new body
    EXPECT_NE(same.impl(), src.impl());
    EXPECT_EQ(same.storage(), src.storage());
    const Tensor r = src.reshape({24});  // contiguous: no copy
    EXPECT_EQ(r.storage(), src.storage());
    EXPECT_NE(r.impl(), src.impl());

    const TensorImpl body = src->view({-1});
    EXPECT_EQ(body.storage(), src.storage());
    EXPECT_EQ(dims_of(body.shape()), (U{24}));
}

TEST(ReshapeTest, ViewKeepsTheOffset) {
    auto storage = iota_storage(11);
    const Tensor src(storage, Shape(U{2, 3}), Strides(U{3, 1}), 5UL);
    for (const L& dims : {L{6}, L{3, 2}, L{-1, 1}}) {
        SCOPED_TRACE(::testing::PrintToString(dims));
        for (const Tensor& t : {src.view(dims), src.reshape(dims)}) {
            EXPECT_EQ(t.offset(), 5U);
            EXPECT_EQ(t.storage(), storage);
            EXPECT_TRUE(t.is_contiguous());
        }
    }
}

// Strides that differ only in size-1 dimensions still make a contiguous body.
TEST(ReshapeTest, SizeOneStridesDoNotBlockAView) {
    auto storage = std::make_shared<Storage>(6, Dtype::FLOAT64, Device::CPU);
    const Tensor src(storage, Shape(U{2, 1, 3}), Strides(U{3, 99, 1}), 0UL);
    ASSERT_TRUE(src.is_contiguous());
    const Tensor v = src.view({3, 2});
    EXPECT_EQ(dims_of(v.strides()), (U{2, 1}));
    EXPECT_EQ(v.storage(), storage);
}

TEST(ReshapeTest, NonContiguousSource) {
    const auto make = [](bool allocated) {
        auto storage = allocated ? iota_storage(6) : std::make_shared<Storage>(6, Dtype::FLOAT32, Device::CPU, false);
        return Tensor(storage, Shape(U{2, 2}), Strides::contiguous_for(Shape(U{2, 3})), 0UL);
    };
    const Tensor src = make(true);
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { src.view({4}); }, "view: tensor is not contiguous"));
    const Tensor r = src.reshape({4});
    EXPECT_EQ(dims_of(r.shape()), (U{4}));
    EXPECT_EQ(dims_of(r.strides()), (U{1}));
    EXPECT_EQ(r.offset(), 0U);
    EXPECT_NE(r.storage(), src.storage());
    EXPECT_EQ(floats_of(*r.storage()), (std::vector<float>{0, 1, 3, 4}));
    EXPECT_EQ(floats_of(*src.storage()), (std::vector<float>{0, 1, 2, 3, 4, 5}));

    const Tensor pending = make(false);
    EXPECT_TRUE(
        Throws<std::logic_error>([&] { pending.reshape({4}); }, "copy_contiguous: source has no allocation yet"));
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { pending.view({4}); }, "view: tensor is not contiguous"));
    EXPECT_FALSE(pending.allocated());

    // The list is judged first, whatever the layout and the allocation.
    for (const Tensor& t : {src, pending}) {
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { t.view({5}); }, MISMATCH));
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { t.reshape({5}); }, MISMATCH));
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { t.reshape({-1, -1}); }, ONE_MINUS_ONE));
        EXPECT_TRUE(Throws<std::length_error>([&] { t.reshape({1, 1, 1, 1, 4}); }, RANK));
    }
}

TEST(ReshapeTest, ViewOfAnUnallocatedTensorSharesItsAllocation) {
    Tensor src(Shape(U{2, 3}), Dtype::FLOAT32, Device::CPU, false);
    const Tensor v = src.view({6});
    EXPECT_FALSE(v.allocated());
    src.allocate();
    EXPECT_TRUE(v.allocated());
    EXPECT_EQ(v.storage()->data(), src.storage()->data());
}

}  // namespace
}  // namespace quarnel
