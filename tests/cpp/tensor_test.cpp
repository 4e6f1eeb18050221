#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::bytes_of;
using test::dims_of;
using test::Throws;
using Bytes = std::vector<unsigned char>;
using U = std::vector<uint64_t>;

constexpr const char* CPU_ONLY = "Buffer: only CPU device is implemented";
const Dtype BAD_DTYPE = static_cast<Dtype>(9);

// The bytes of the value one, little-endian, per element type.
const struct {
    Dtype dtype;
    Bytes one;
} ONES[] = {
    {Dtype::FLOAT32, {0x00, 0x00, 0x80, 0x3F}},
    {Dtype::INT32, {0x01, 0x00, 0x00, 0x00}},
    {Dtype::FLOAT64, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F}},
    {Dtype::INT64, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
};

Bytes repeat(const Bytes& element, size_t count, size_t total = 0, unsigned char fill = 0) {
    Bytes out;
    for (size_t i = 0; i < count; ++i) out.insert(out.end(), element.begin(), element.end());
    if (out.size() < total) out.resize(total, fill);
    return out;
}

TEST(TensorTest, FactoriesWriteZerosAndOnes) {
    for (const auto& row : ONES) {
        SCOPED_TRACE(to_string(row.dtype));
        // Counts around the 16-byte fill pattern, so partial tails are covered.
        for (const U& dims : {U{}, U{1}, U{2}, U{3}, U{4}, U{5}, U{7}, U{9}, U{33}, U{2, 3}}) {
            SCOPED_TRACE(::testing::PrintToString(dims));
            const Shape shape(dims);
            const Tensor ones = Tensor::ones(shape, row.dtype, Device::CPU);
            EXPECT_TRUE(ones.allocated());
            EXPECT_EQ(bytes_of(*ones.storage()), repeat(row.one, shape.numel()));
            // The freed block of a ones tensor is a likely home for the next
            // one, so a missing clear would show up here.
            { const Tensor dirty = Tensor::ones(shape, row.dtype, Device::CPU); }
            const Tensor zeros = Tensor::zeros(shape, row.dtype, Device::CPU);
            EXPECT_TRUE(zeros.allocated());
            EXPECT_EQ(bytes_of(*zeros.storage()), Bytes(shape.numel() * row.one.size(), 0));
        }
        for (const auto& make : {&Tensor::zeros, &Tensor::ones}) {
            const Tensor empty = make(Shape(U{3, 0}), row.dtype, Device::CPU);
            EXPECT_EQ(empty.numel(), 0);
            EXPECT_TRUE(empty.allocated());
            EXPECT_EQ(empty.storage()->data(), nullptr);
        }
    }
}

// zeros skips writing only memory that the library mapped fresh itself: a
// large block released dirty and handed out again, and a block from the
// heap, read as zero all the same.
TEST(TensorTest, ZerosWhateverMemoryItGets) {
    for (const size_t bytes : {size_t{3} << 20, size_t{9} << 20, (size_t{9} << 20) + 8}) {
        SCOPED_TRACE(bytes);
        void* dirty_base = nullptr;
        {
            Buffer dirty(bytes, Device::CPU);
            std::memset(dirty.base(), 0xA5, bytes);
            dirty_base = dirty.base();
        }
        const Tensor z = Tensor::zeros(Shape(U{bytes / 8}), Dtype::FLOAT64, Device::CPU);
        const auto* data = static_cast<const unsigned char*>(z.storage()->data());
        EXPECT_EQ(std::count(data, data + bytes, 0), static_cast<long>(bytes));
        // The large block released just before is the one handed out again.
        if (bytes >= Buffer::LARGE_FROM) {
            EXPECT_EQ(data, dirty_base);
        }
    }
    const Tensor fresh = Tensor::zeros(Shape(U{3 << 20}), Dtype::FLOAT64, Device::CPU);
    const auto* data = static_cast<const unsigned char*>(fresh.storage()->data());
    EXPECT_EQ(std::count(data, data + fresh.storage()->nbytes(), 0), static_cast<long>(fresh.storage()->nbytes()));
}

TEST(TensorTest, FillOnes) {
    for (const auto& row : ONES) {
        SCOPED_TRACE(to_string(row.dtype));
        for (long long n : {-3, 0, 1, 3, 4, 5, 8}) {
            SCOPED_TRACE(n);
            Bytes buf(80, 0xAB);
            fill_ones(buf.data(), row.dtype, n);
            EXPECT_EQ(buf, repeat(row.one, n > 0 ? static_cast<size_t>(n) : 0, 80, 0xAB));
            EXPECT_NO_THROW(fill_ones(nullptr, row.dtype, 4));
        }
    }
    // With nothing to write the element type is not looked at; a negative
    // count writes nothing, but only after the element type is chosen.
    Bytes buf(32, 0xAB);
    EXPECT_NO_THROW(fill_ones(nullptr, BAD_DTYPE, 5));
    EXPECT_NO_THROW(fill_ones(buf.data(), BAD_DTYPE, 0));
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { fill_ones(buf.data(), BAD_DTYPE, 1); }, "Unsupported Dtype"));
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { fill_ones(buf.data(), BAD_DTYPE, -3); }, "Unsupported Dtype"));
    EXPECT_EQ(buf, Bytes(32, 0xAB));
}

TEST(TensorTest, UnallocatedUntilAllocate) {
    const Tensor t(Shape(U{2, 3}), Dtype::FLOAT32, Device::CPU, false);
    Tensor copy = t;
    EXPECT_EQ(copy.impl(), t.impl());
    for (bool allocated : {false, true}) {
        EXPECT_EQ(t.allocated(), allocated);
        EXPECT_EQ(t.offset(), 0U);
        EXPECT_EQ(dims_of(t.strides()), (U{3, 1}));
        copy.allocate();  // through the copy: the body is shared
    }
    EXPECT_EQ(t.storage()->nbytes(), 24U);
    EXPECT_NE(t.storage()->data(), nullptr);
    EXPECT_TRUE(Tensor(Shape(U{0}), Dtype::FLOAT32, Device::CPU, false).allocated());
    EXPECT_TRUE(Tensor(Shape(U{2, 3}), Dtype::INT64, Device::CPU).allocated());
}

TEST(TensorTest, CreationFailures) {
    const Shape two(U{2});
    EXPECT_TRUE(Throws<std::runtime_error>([&] { Tensor t(two, Dtype::FLOAT32, Device::CUDA); }, CPU_ONLY));
    EXPECT_TRUE(Throws<std::runtime_error>([&] { Tensor::zeros(two, Dtype::FLOAT32, Device::HIP); }, CPU_ONLY));
    EXPECT_TRUE(Throws<std::runtime_error>([&] { Tensor::ones(two, Dtype::FLOAT32, Device::HIP); }, CPU_ONLY));
    Tensor lazy(two, Dtype::FLOAT32, Device::CUDA, false);
    EXPECT_FALSE(lazy.allocated());
    EXPECT_TRUE(Throws<std::runtime_error>([&] { lazy.allocate(); }, CPU_ONLY));
    EXPECT_FALSE(lazy.allocated());

    for (Device d : {Device::CPU, Device::CUDA}) {  // the element type is judged before the device
        SCOPED_TRACE(to_string(d));
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { Tensor t(two, BAD_DTYPE, d); }, "Unsupported Dtype"));
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { Tensor::zeros(two, BAD_DTYPE, d); }, "Unsupported Dtype"));
        EXPECT_TRUE(Throws<std::invalid_argument>([&] { Tensor::ones(two, BAD_DTYPE, d); }, "Unsupported Dtype"));
        EXPECT_NO_THROW(Tensor(two, BAD_DTYPE, d, false));
    }

    // 2^62 elements fit the shape but not a byte count.
    const Shape huge(U{uint64_t{1} << 62});
    const char* overflow = "Storage: byte count overflows size_t";
    EXPECT_TRUE(Throws<std::length_error>([&] { Tensor t(huge, Dtype::FLOAT32, Device::CPU); }, overflow));
    Tensor pending(huge, Dtype::INT64, Device::CPU, false);
    EXPECT_FALSE(pending.allocated());
    EXPECT_TRUE(Throws<std::length_error>([&] { pending.allocate(); }, overflow));

    EXPECT_TRUE(
        Throws<std::invalid_argument>([] { Tensor t(std::shared_ptr<TensorImpl>{}); }, "Tensor: null TensorImpl"));
}

// Runs check(make) with make building a TensorImpl, then a Tensor, from the same arguments.
template <typename F>
void for_both_constructors(F&& check) {
    check([](auto&&... args) { TensorImpl t(args...); });
    check([](auto&&... args) { Tensor t(args...); });
}

TEST(TensorTest, ExplicitStorageNeedsAStorage) {
    for_both_constructors([](auto make) {
        for (uint64_t n : {uint64_t{0}, uint64_t{2}}) {
            EXPECT_TRUE(Throws<std::invalid_argument>(
                [&] { make(std::shared_ptr<Storage>{}, Shape(U{n}), Strides(U{1}), 0UL); },
                "TensorImpl: null storage"));
        }
    });
    auto storage = std::make_shared<Storage>(10, Dtype::INT32, Device::HIP, false);
    const Tensor t(storage, Shape(U{2, 2}), Strides(U{4, 1}), 1UL);
    EXPECT_EQ(t.storage(), storage);
    EXPECT_EQ(t.offset(), 1U);
    EXPECT_EQ(dims_of(t.strides()), (U{4, 1}));
    EXPECT_EQ(t.dtype(), Dtype::INT32);
    EXPECT_EQ(t.device(), Device::HIP);
}

// The last addressed element, offset + sum((size_k - 1) * stride_k), must lie
// below the storage's element count, computed without wrapping.
TEST(TensorTest, ExplicitStorageBounds) {
    constexpr uint64_t P63 = uint64_t{1} << 63;
    constexpr uint64_t MAX = UINT64_MAX;
    const struct {
        uint64_t storage;
        U shape, strides;
        uint64_t offset;
        bool fits;
    } table[] = {
        {10, {2, 3}, {3, 1}, 4, true},   // last element 9
        {10, {2, 3}, {3, 1}, 5, false},  // last element 10
        {5, {2, 3}, {3, 1}, 0, false},
        {4, {}, {}, 3, true},  // a scalar addresses its offset
        {4, {}, {}, 4, false},
        {4, {}, {1}, 3, true},
        {4, {2, 3}, {3}, 0, true},  // strides past their rank count 0
        {4, {2, 3}, {3}, 1, false},
        {2, {2}, {1, 100}, 0, true},  // strides past the shape's rank are ignored
        {1, {5}, {0}, 0, true},
        {1, {5}, {0}, 1, false},
        {0, {1}, {1}, 0, false},
        {MAX, {2}, {1}, MAX - 2, true},       // last element MAX - 1
        {MAX, {2}, {1}, MAX - 1, false},      // last element MAX, not below the count
        {MAX, {2}, {1}, MAX, false},          // offset + step wraps
        {MAX, {3}, {P63}, 0, false},          // 2 * 2^63 wraps to 0
        {MAX, {2, 2}, {P63, P63}, 0, false},  // the sum wraps
        {MAX, {2}, {P63}, P63 - 1, false},
        {MAX, {2}, {P63}, P63 - 2, true},
        {MAX, {2, 2, 2, 2}, {MAX / 4, MAX / 4, MAX / 4, MAX / 4}, 0, true},  // last element MAX - 3
        {MAX, {2, 2, 2, 2}, {MAX / 3, MAX / 3, MAX / 3, MAX / 3}, 0, false},
        {0, {0, 3}, {3, 1}, MAX, true},  // no elements: any offset and strides
        {0, {3, 0}, {P63, P63}, 12345, true},
        {5, {0}, {MAX}, MAX, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(::testing::Message()
                     << "storage " << row.storage << ", shape " << ::testing::PrintToString(row.shape) << ", strides "
                     << ::testing::PrintToString(row.strides) << ", offset " << row.offset);
        // Pointing at a storage needs no memory, so its count may be anything.
        auto storage = std::make_shared<Storage>(row.storage, Dtype::FLOAT32, Device::CPU, false);
        for_both_constructors([&](auto make) {
            const auto call = [&] { make(storage, Shape(row.shape), Strides(row.strides), row.offset); };
            if (row.fits) {
                EXPECT_NO_THROW(call());
            } else {
                EXPECT_TRUE(Throws<std::invalid_argument>(call, "TensorImpl: elements out of storage bounds"));
            }
        });
    }
}

}  // namespace
}  // namespace quarnel
