#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "test_util.h"
#include "tests/model/layout.h"

namespace quarnel {
namespace {

using test::bytes_of;
using test::dims_of;
using test::Throws;
using U = std::vector<uint64_t>;

constexpr const char* NO_ALLOCATION = "copy_contiguous: source has no allocation yet";

void expect_fresh_contiguous(const TensorImpl& copy, const TensorImpl& src) {
    EXPECT_EQ(dims_of(copy.shape()), dims_of(src.shape()));
    EXPECT_EQ(dims_of(copy.strides()), dims_of(Strides::contiguous_for(src.shape())));
    EXPECT_EQ(copy.offset(), 0U);
    EXPECT_EQ(copy.dtype(), src.dtype());
    EXPECT_EQ(copy.device(), src.device());
    EXPECT_EQ(copy.storage()->numel(), src.numel());
    EXPECT_TRUE(copy.allocated());
    EXPECT_NE(copy.storage(), src.storage());
}

TEST(CopyTest, AllocationRules) {
    const auto lazy = [](size_t n, Device d) { return std::make_shared<Storage>(n, Dtype::FLOAT32, d, false); };
    const TensorImpl pending(lazy(6, Device::CPU), Shape(U{2, 2}), Strides(U{3, 1}), 0UL);
    EXPECT_TRUE(Throws<std::logic_error>([&] { copy_contiguous_impl(pending); }, NO_ALLOCATION));
    EXPECT_TRUE(Throws<std::logic_error>([&] { pending.contiguous(); }, NO_ALLOCATION));
    EXPECT_TRUE(
        Throws<std::logic_error>([&] { Tensor(std::make_shared<TensorImpl>(pending)).contiguous(); }, NO_ALLOCATION));
    EXPECT_FALSE(pending.allocated());

    // A contiguous pending tensor needs no copy, so it does not fail.
    const Tensor contiguous(Shape(U{2, 3}), Dtype::FLOAT32, Device::CPU, false);
    EXPECT_EQ(contiguous.contiguous().impl(), contiguous.impl());
    EXPECT_EQ(contiguous->contiguous().storage(), contiguous.storage());

    // No elements: counts as allocated, and the copy has no buffer.
    const TensorImpl empty(lazy(0, Device::CPU), Shape(U{0, 2}), Strides(U{1, 5}), 3UL);
    ASSERT_FALSE(empty.is_contiguous());
    const TensorImpl copy = copy_contiguous_impl(empty);
    expect_fresh_contiguous(copy, empty);
    EXPECT_EQ(copy.storage()->data(), nullptr);

    // The copy's own storage is allocated at once, which fails off the CPU.
    const TensorImpl remote(lazy(0, Device::CUDA), Shape(U{0, 2}), Strides(U{1, 5}), 0UL);
    EXPECT_TRUE(
        Throws<std::runtime_error>([&] { copy_contiguous_impl(remote); }, "Buffer: only CPU device is implemented"));
}

struct Layout {
    U shape, strides;
    uint64_t offset;
};

// Lays the layout over a storage of random bytes and checks every way of
// asking for a contiguous copy against the model: a copy holds the addressed
// elements in row-major order, a packed source is its own contiguous form,
// and the source is left as it was.
void check_against_model(const Layout& layout, Dtype dtype, size_t spare, std::mt19937_64& rng) {
    SCOPED_TRACE(::testing::Message() << "shape " << ::testing::PrintToString(layout.shape) << ", strides "
                                      << ::testing::PrintToString(layout.strides) << ", offset " << layout.offset
                                      << ", " << to_string(dtype));
    const U at = model::positions(layout.shape, layout.strides, layout.offset);
    const size_t numel = (at.empty() ? 0 : *std::max_element(at.begin(), at.end()) + 1) + spare;
    auto storage = std::make_shared<Storage>(numel, dtype, Device::CPU);
    auto* bytes = static_cast<unsigned char*>(storage->data());
    for (size_t b = 0; b < storage->nbytes(); ++b) bytes[b] = static_cast<unsigned char>(rng());
    const std::vector<unsigned char> before = bytes_of(*storage);
    const std::vector<unsigned char> expected = model::gather(before.data(), at, dtype_size(dtype));

    const Tensor src(storage, Shape(layout.shape), Strides(layout.strides), layout.offset);
    const bool contiguous = model::contiguous(layout.shape, layout.strides);
    ASSERT_EQ(src.is_contiguous(), contiguous);
    const TensorImpl copy = copy_contiguous_impl(*src);
    expect_fresh_contiguous(copy, *src);
    ASSERT_EQ(bytes_of(*copy.storage()), expected);
    const TensorImpl body = src->contiguous();
    const Tensor handle = src.contiguous();
    if (contiguous) {
        EXPECT_EQ(handle.impl(), src.impl());
        EXPECT_EQ(body.storage(), storage);
        EXPECT_EQ(body.offset(), layout.offset);
    } else {
        EXPECT_NE(handle.impl(), src.impl());
        EXPECT_EQ(bytes_of(*handle.storage()), expected);
        expect_fresh_contiguous(body, *src);
        EXPECT_EQ(bytes_of(*body.storage()), expected);
    }
    EXPECT_EQ(bytes_of(*storage), before);
}

const Dtype DTYPES[] = {Dtype::FLOAT32, Dtype::INT32, Dtype::FLOAT64, Dtype::INT64};

TEST(CopyTest, NamedLayoutsMatchTheModel) {
    const Layout table[] = {
        {{2, 2}, {3, 1}, 0},  // a window
        {{2, 2}, {4, 1}, 1},
        {{3, 2}, {1, 3}, 0},  // a transpose
        {{3}, {3}, 0},
        {{2, 2}, {0, 0}, 4},
        {{2, 1, 3}, {0, 3, 1}, 0},  // outer stride 0 is not the expected 3
        {{3}, {1}, 2},              // contiguous past an offset
        {{2, 1, 3}, {3, 7, 1}, 0},  // size-1 dimensions may hold any stride
        {{1, 5}, {99, 1}, 0},
        {{5, 1}, {1, 7}, 0},
        {{2, 1, 3}, {3, 0, 1}, 0},
        {{1, 1}, {0, 0}, 0},
        {{2, 0, 3}, {3, 3, 1}, 0},  // a size-0 dimension is not skipped
        {{2, 0, 3}, {0, 3, 1}, 0},
        {{2, 3}, {1, 2}, 0},
        {{2, 3}, {3, 2}, 0},
        {{4}, {2}, 0},
        {{2, 3}, {3, 1, 0}, 0},  // rank mismatch, whatever the entries
        {{2, 3}, {3}, 0},
        {{1}, {}, 0},
        {{}, {1}, 2},  // rank 0, not contiguous by the strides' rank
        {{}, {}, 0},
    };
    std::mt19937_64 rng(7);
    for (const Layout& layout : table) {
        for (const Dtype dtype : DTYPES) check_against_model(layout, dtype, 1, rng);
    }
}

TEST(CopyTest, RandomLayoutsMatchTheModel) {
    std::mt19937_64 rng(20240611);
    const auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
    int strided = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        Layout layout;
        layout.shape.resize(static_cast<size_t>(pick(0, 4)));
        for (auto& size : layout.shape) {
            const uint64_t r = pick(0, 9);
            size = r == 0 ? 0 : r <= 2 ? 1 : pick(2, 5);
        }
        // Usually one stride per dimension; sometimes fewer or more.
        const size_t rank = layout.shape.size();
        layout.strides.resize(pick(0, 4) == 0 ? static_cast<size_t>(pick(0, 4)) : rank);
        uint64_t natural = 1;  // the stride that would let a dimension merge with the inner one
        for (size_t k = layout.strides.size(); k-- > 0;) {
            uint64_t& stride = layout.strides[k];
            switch (pick(0, 4)) {
                case 0: stride = 0; break;
                case 1: stride = 1; break;
                case 2: stride = natural; break;
                default: stride = pick(1, 7); break;
            }
            natural = stride * (k < rank ? std::max<uint64_t>(layout.shape[k], 1) : 1);
        }
        layout.offset = pick(0, 4);
        if (!model::contiguous(layout.shape, layout.strides) &&
            !model::positions(layout.shape, layout.strides, 0).empty())
            ++strided;
        SCOPED_TRACE(iteration);
        check_against_model(layout, DTYPES[pick(0, 3)], static_cast<size_t>(pick(0, 2)), rng);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(strided, 1500);  // the generator must mostly exercise the strided walk
}

}  // namespace
}  // namespace quarnel
