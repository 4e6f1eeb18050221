#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"
#include "tests/model/reshape.h"

namespace quarnel {
namespace {

using test::dims_of;
using test::floats_of;
using test::Gives;
using test::iota_storage;
using test::Throws;
using L = std::vector<long long>;
using U = std::vector<uint64_t>;

const std::string NOT_DIVISIBLE = "view/reshape: numel is not divisible by known dims";
const std::string CANNOT_INFER = "view/reshape: cannot infer dimension";
const std::string MISMATCH = "view/reshape: numel mismatch";
const std::string ONE_MINUS_ONE = "view/reshape: only one -1 dimension allowed";
const std::string RANK = "Shape: rank exceeds MAX_RANK";

// Every list of `length` entries drawn from values.
std::vector<L> all_lists(const std::vector<long long>& values, size_t length) {
    std::vector<L> lists = {{}};
    for (size_t k = 0; k < length; ++k) {
        std::vector<L> longer;
        for (const L& list : lists) {
            for (const long long v : values) {
                longer.push_back(list);
                longer.back().push_back(v);
            }
        }
        lists = std::move(longer);
    }
    return lists;
}

// resolve() gives what the model says: its shape, or its exception.
template <typename F>
::testing::AssertionResult ResolvesAs(const model::Resolved& want, F&& resolve) {
    Shape got;
    if (::testing::AssertionResult same = Gives(want.outcome, [&] { got = resolve(); }); !same) return same;
    if (want.outcome.succeeds() && dims_of(got) != want.shape) {
        return ::testing::AssertionFailure() << "shape " << ::testing::PrintToString(dims_of(got)) << ", expected "
                                             << ::testing::PrintToString(want.shape);
    }
    return ::testing::AssertionSuccess();
}

// Lists of entries around the rules' edges (-1 and the other negatives, 0,
// sizes that divide and do not, products past 2^63 and 2^64), every one of
// up to three entries and a narrower choice of four and five, against counts
// on both sides of those edges: resolve_shape, and view and reshape of a
// tensor of that count, must answer as the model does.
TEST(ReshapeTest, ListsResolveAsTheModelSays) {
    constexpr long long P32 = 1LL << 32, P62 = 1LL << 62;
    std::vector<L> lists;
    const auto append = [&lists](const std::vector<L>& more) { lists.insert(lists.end(), more.begin(), more.end()); };
    for (size_t length = 0; length <= 3; ++length) {
        append(all_lists({-3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, P32, P62, LLONG_MAX}, length));
    }
    append(all_lists({-2, -1, 0, 1, 4, 6, P62, LLONG_MAX}, 4));
    append(all_lists({-2, -1, 1, 6}, 5));
    const std::vector<long long> totals = {0, 1, 6, P62, LLONG_MAX};
    for (const long long total : totals) {
        std::optional<Tensor> src;  // of `total` elements, for the small counts
        if (total <= 6) {
            const U shape = total == 1 ? U{} : U{static_cast<uint64_t>(total), 1};
            src.emplace(Shape(shape), Dtype::FLOAT32, Device::CPU, false);
        }
        for (const L& dims : lists) {
            const model::Resolved want = model::resolve(total, dims);
            const auto on = [&] { return ::testing::PrintToString(dims) + " against " + std::to_string(total); };
            ASSERT_TRUE(ResolvesAs(want, [&] { return resolve_shape(total, dims); })) << on();
            if (!src) continue;
            ASSERT_TRUE(ResolvesAs(want, [&] { return src->view(dims).shape(); })) << "view: " << on();
            ASSERT_TRUE(ResolvesAs(want, [&] { return src->reshape(dims).shape(); })) << "reshape: " << on();
        }
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
