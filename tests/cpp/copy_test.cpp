#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::bytes_of;
using test::dims_of;
using test::floats_of;
using test::iota_storage;
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

TEST(CopyTest, StridedSources) {
    const struct {
        size_t storage;
        U shape;
        U strides;
        uint64_t offset;
        std::vector<float> expected;
    } table[] = {
        {6, {2, 2}, {3, 1}, 0, {0, 1, 3, 4}},
        {10, {2, 2}, {4, 1}, 1, {1, 2, 5, 6}},
        {3, {2, 1, 3}, {0, 3, 1}, 0, {0, 1, 2, 0, 1, 2}},  // outer stride 0 is not the expected 3
        {4, {}, {1}, 2, {2}},                              // rank 0, non-contiguous by the strides' rank
        {6, {3, 2}, {1, 3}, 0, {0, 3, 1, 4, 2, 5}},        // a transpose
        {9, {3}, {3}, 0, {0, 3, 6}},
        {5, {2, 2}, {0, 0}, 4, {4, 4, 4, 4}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(::testing::PrintToString(row.shape) + " / " + ::testing::PrintToString(row.strides));
        const TensorImpl src(iota_storage(row.storage), Shape(row.shape), Strides(row.strides), row.offset);
        ASSERT_FALSE(src.is_contiguous());
        for (const TensorImpl& copy : {copy_contiguous_impl(src), src.contiguous()}) {
            expect_fresh_contiguous(copy, src);
            EXPECT_EQ(floats_of(*copy.storage()), row.expected);
        }
        const Tensor handle(std::make_shared<TensorImpl>(src));
        const Tensor copied = handle.contiguous();
        EXPECT_NE(copied.impl(), handle.impl());
        EXPECT_NE(copied.storage(), handle.storage());
        EXPECT_EQ(floats_of(*copied.storage()), row.expected);
    }
}

TEST(CopyTest, ContiguousSourceKeepsItsOffsetUnlessCopied) {
    auto storage = iota_storage(8);
    const Tensor src(storage, Shape(U{3}), Strides(U{1}), 2UL);
    ASSERT_TRUE(src.is_contiguous());
    EXPECT_EQ(src.contiguous().impl(), src.impl());
    const TensorImpl same = src->contiguous();
    EXPECT_EQ(same.storage(), storage);
    EXPECT_EQ(same.offset(), 2U);
    const TensorImpl copy = copy_contiguous_impl(*src);
    expect_fresh_contiguous(copy, *src);
    EXPECT_EQ(floats_of(*copy.storage()), (std::vector<float>{2, 3, 4}));

    // Strides that differ only in size-1 dimensions: contiguous, one block copy.
    const Tensor padded(iota_storage(6), Shape(U{2, 1, 3}), Strides(U{3, 7, 1}), 0UL);
    ASSERT_TRUE(padded.is_contiguous());
    EXPECT_EQ(floats_of(*copy_contiguous_impl(*padded).storage()), (std::vector<float>{0, 1, 2, 3, 4, 5}));
}

TEST(CopyTest, EightByteElementsAreCopiedWhole) {
    for (Dtype dtype : {Dtype::INT64, Dtype::FLOAT64}) {
        SCOPED_TRACE(to_string(dtype));
        auto storage = std::make_shared<Storage>(6, dtype, Device::CPU);
        for (size_t i = 0; i < 6; ++i) {
            const uint64_t v = uint64_t{0x0101010101010101} * (i + 1);
            std::memcpy(static_cast<char*>(storage->data()) + 8 * i, &v, 8);
        }
        const TensorImpl src(storage, Shape(U{2, 2}), Strides(U{1, 3}), 1UL);  // elements 1, 4, 2, 5
        std::vector<uint64_t> got(4);
        const TensorImpl copy = copy_contiguous_impl(src);
        std::memcpy(got.data(), copy.storage()->data(), 32);
        EXPECT_EQ(got, (std::vector<uint64_t>{0x0202020202020202ULL, 0x0505050505050505ULL, 0x0303030303030303ULL,
                                              0x0606060606060606ULL}));
    }
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

// The obvious walk: every multi-index in row-major order, its position
// computed from scratch. Strides past their rank count 0.
void reference_positions(const U& shape, const U& strides, size_t dim, uint64_t pos, std::vector<uint64_t>& out) {
    if (dim == shape.size()) {
        out.push_back(pos);
        return;
    }
    const uint64_t stride = dim < strides.size() ? strides[dim] : 0;
    for (uint64_t i = 0; i < shape[dim]; ++i) reference_positions(shape, strides, dim + 1, pos + i * stride, out);
}

TEST(CopyTest, MatchesElementByElementReference) {
    std::mt19937_64 rng(20240611);
    const auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
    const Dtype dtypes[] = {Dtype::FLOAT32, Dtype::INT32, Dtype::FLOAT64, Dtype::INT64};
    int strided = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        const auto rank = static_cast<size_t>(pick(0, 4));
        U shape(rank);
        for (auto& size : shape) {
            const uint64_t r = pick(0, 9);
            size = r == 0 ? 0 : r <= 2 ? 1 : pick(2, 5);
        }
        // Usually one stride per dimension; sometimes fewer or more.
        const auto stride_rank = pick(0, 4) == 0 ? static_cast<size_t>(pick(0, 4)) : rank;
        U strides(stride_rank);
        uint64_t natural = 1;  // the stride that would let a dimension merge with the inner one
        for (size_t k = stride_rank; k-- > 0;) {
            switch (pick(0, 4)) {
                case 0: strides[k] = 0; break;
                case 1: strides[k] = 1; break;
                case 2: strides[k] = natural; break;
                default: strides[k] = pick(1, 7); break;
            }
            natural = strides[k] * (k < rank ? std::max<uint64_t>(shape[k], 1) : 1);
        }
        const uint64_t offset = pick(0, 4);
        std::vector<uint64_t> positions;
        reference_positions(shape, strides, 0, offset, positions);
        uint64_t last = 0;
        for (uint64_t p : positions) last = std::max(last, p);
        const size_t numel = positions.empty() ? pick(0, 3) : last + 1 + pick(0, 2);

        const Dtype dtype = dtypes[pick(0, 3)];
        const size_t width = dtype_size(dtype);
        auto storage = std::make_shared<Storage>(numel, dtype, Device::CPU);
        for (size_t b = 0; b < storage->nbytes(); ++b)
            static_cast<unsigned char*>(storage->data())[b] = static_cast<unsigned char>(pick(0, 255));
        const std::vector<unsigned char> before = bytes_of(*storage);
        std::vector<unsigned char> expected;
        for (uint64_t p : positions)
            expected.insert(expected.end(), before.begin() + static_cast<long>(p * width),
                            before.begin() + static_cast<long>((p + 1) * width));

        SCOPED_TRACE(::testing::Message()
                     << "iteration " << iteration << ": shape " << ::testing::PrintToString(shape) << ", strides "
                     << ::testing::PrintToString(strides) << ", offset " << offset << ", " << to_string(dtype));
        const Tensor src(storage, Shape(shape), Strides(strides), offset);
        if (!src.is_contiguous() && !positions.empty()) ++strided;
        const TensorImpl copy = copy_contiguous_impl(*src);
        expect_fresh_contiguous(copy, *src);
        ASSERT_EQ(bytes_of(*copy.storage()), expected);
        const Tensor handle_copy = src.contiguous();
        if (src.is_contiguous()) {
            EXPECT_EQ(handle_copy.impl(), src.impl());
        } else {
            EXPECT_EQ(bytes_of(*handle_copy.storage()), expected);
        }
        EXPECT_EQ(bytes_of(*storage), before);
    }
    EXPECT_GT(strided, 1500);  // the generator must mostly exercise the strided walk
}

}  // namespace
}  // namespace quarnel
