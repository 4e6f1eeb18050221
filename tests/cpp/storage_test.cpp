#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "test_util.h"

namespace quarnel {
namespace {

using test::Throws;

constexpr const char* CPU_ONLY = "Buffer: only CPU device is implemented";
constexpr const char* BYTES_OVERFLOW = "Storage: byte count overflows size_t";
const Dtype BAD_DTYPE = static_cast<Dtype>(9);

bool aligned16(const void* p) { return reinterpret_cast<uintptr_t>(p) % 16 == 0; }

TEST(StorageTest, AllocatedAtOnce) {
    const struct {
        size_t numel;
        Dtype dtype;
        size_t nbytes;
    } table[] = {{6, Dtype::FLOAT32, 24}, {3, Dtype::FLOAT64, 24}, {3, Dtype::INT32, 12}, {5, Dtype::INT64, 40}};
    for (const auto& row : table) {
        SCOPED_TRACE(to_string(row.dtype));
        for (bool three_args : {true, false}) {
            const Storage s = three_args ? Storage(row.numel, row.dtype, Device::CPU)
                                         : Storage(row.numel, row.dtype, Device::CPU, true);
            EXPECT_EQ(s.nbytes(), row.nbytes);
            EXPECT_TRUE(s.allocated());
            ASSERT_NE(s.data(), nullptr);
            EXPECT_TRUE(aligned16(s.data()));
            EXPECT_EQ(s.numel(), row.numel);
            EXPECT_EQ(s.dtype(), row.dtype);
            EXPECT_EQ(s.device(), Device::CPU);
        }
    }
}

TEST(StorageTest, AllocationOnDemandHappensOnce) {
    Storage s(6, Dtype::FLOAT32, Device::CPU, false);
    EXPECT_FALSE(s.allocated());
    EXPECT_EQ(s.data(), nullptr);
    s.allocate();
    EXPECT_TRUE(s.allocated());
    void* first = s.data();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(aligned16(first));
    s.allocate();
    EXPECT_EQ(s.data(), first);
    EXPECT_EQ(static_cast<const Storage&>(s).data(), first);
}

TEST(StorageTest, ZeroElementsCountAsAllocatedOnAnyDevice) {
    for (Device d : {Device::CPU, Device::CUDA, Device::HIP}) {
        SCOPED_TRACE(to_string(d));
        Storage s(0, Dtype::INT64, d, false);
        EXPECT_TRUE(s.allocated());
        EXPECT_EQ(s.nbytes(), 0U);
        EXPECT_NO_THROW(s.allocate());
        EXPECT_EQ(s.data(), nullptr);
    }
    const Storage cpu(0, Dtype::FLOAT32, Device::CPU);
    EXPECT_TRUE(cpu.allocated());
    EXPECT_EQ(cpu.data(), nullptr);
}

TEST(StorageTest, OtherDevicesFailWhenMemoryIsTaken) {
    for (Device d : {Device::CUDA, Device::HIP}) {
        SCOPED_TRACE(to_string(d));
        EXPECT_TRUE(Throws<std::runtime_error>([&] { Storage s(0, Dtype::FLOAT32, d); }, CPU_ONLY));
        EXPECT_TRUE(Throws<std::runtime_error>([&] { Storage s(4, Dtype::FLOAT32, d, true); }, CPU_ONLY));
        Storage s(4, Dtype::FLOAT32, d, false);
        EXPECT_FALSE(s.allocated());
        EXPECT_EQ(s.nbytes(), 16U);
        // A failed allocate leaves the storage as it was, and the next one tries again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_TRUE(Throws<std::runtime_error>([&] { s.allocate(); }, CPU_ONLY));
            EXPECT_FALSE(s.allocated());
            EXPECT_EQ(s.data(), nullptr);
        }
    }
}

// These byte counts fit size_t but cannot be rounded to a 16-byte block.
TEST(StorageTest, RefusedMemoryLeavesItUnallocated) {
    const struct {
        size_t numel;
        Dtype dtype;
    } table[] = {{SIZE_MAX / 4, Dtype::FLOAT32}, {SIZE_MAX / 8, Dtype::INT64}};
    for (const auto& row : table) {
        SCOPED_TRACE(to_string(row.dtype));
        Storage s(row.numel, row.dtype, Device::CPU, false);
        EXPECT_EQ(s.nbytes(), row.numel * dtype_size(row.dtype));
        EXPECT_TRUE(test::ThrowsBadAlloc([&] { s.allocate(); }));
        EXPECT_FALSE(s.allocated());
        EXPECT_EQ(s.data(), nullptr);
        EXPECT_TRUE(test::ThrowsBadAlloc([&] { Storage t(row.numel, row.dtype, Device::CPU); }));
    }
}

TEST(StorageTest, UnknownElementType) {
    Storage s(5, BAD_DTYPE, Device::CUDA, false);
    EXPECT_EQ(s.numel(), 5U);
    EXPECT_EQ(s.dtype(), BAD_DTYPE);
    EXPECT_EQ(s.device(), Device::CUDA);
    EXPECT_EQ(s.data(), nullptr);
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { (void)s.nbytes(); }, "Unsupported Dtype"));
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { (void)s.allocated(); }, "Unsupported Dtype"));
    EXPECT_TRUE(Throws<std::invalid_argument>([&] { s.allocate(); }, "Unsupported Dtype"));

    // The element type is judged first: before the device, the element count and the overflow.
    for (size_t numel : {size_t{0}, size_t{5}, SIZE_MAX}) {
        SCOPED_TRACE(numel);
        for (Device d : {Device::CPU, Device::CUDA}) {
            EXPECT_TRUE(Throws<std::invalid_argument>([&] { Storage t(numel, BAD_DTYPE, d); }, "Unsupported Dtype"));
            Storage lazy(numel, BAD_DTYPE, d, false);
            EXPECT_TRUE(Throws<std::invalid_argument>([&] { (void)lazy.nbytes(); }, "Unsupported Dtype"));
            EXPECT_TRUE(Throws<std::invalid_argument>([&] { (void)lazy.allocated(); }, "Unsupported Dtype"));
            EXPECT_TRUE(Throws<std::invalid_argument>([&] { lazy.allocate(); }, "Unsupported Dtype"));
        }
    }
}

TEST(StorageTest, ByteCountOverflow) {
    const struct {
        size_t numel;
        Dtype dtype;
    } table[] = {{SIZE_MAX / 4 + 1, Dtype::FLOAT32}, {SIZE_MAX / 4 + 1, Dtype::INT32},
                 {SIZE_MAX / 8 + 1, Dtype::FLOAT64}, {SIZE_MAX / 8 + 1, Dtype::INT64},
                 {SIZE_MAX, Dtype::INT32},           {(SIZE_MAX >> 2) * 2, Dtype::INT64}};
    for (const auto& row : table) {
        SCOPED_TRACE(::testing::Message() << row.numel << " x " << to_string(row.dtype));
        Storage s(row.numel, row.dtype, Device::CPU, false);
        EXPECT_TRUE(Throws<std::length_error>([&] { (void)s.nbytes(); }, BYTES_OVERFLOW));
        EXPECT_TRUE(Throws<std::length_error>([&] { s.allocate(); }, BYTES_OVERFLOW));
        EXPECT_FALSE(s.allocated());
        EXPECT_TRUE(Throws<std::length_error>([&] { Storage t(row.numel, row.dtype, Device::CPU); }, BYTES_OVERFLOW));
        EXPECT_TRUE(
            Throws<std::length_error>([&] { Storage t(row.numel, row.dtype, Device::CPU, true); }, BYTES_OVERFLOW));
    }
}

}  // namespace
}  // namespace quarnel
