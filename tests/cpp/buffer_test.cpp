#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "test_util.h"

namespace quarnel {
namespace {

using test::Throws;

constexpr const char* CPU_ONLY = "Buffer: only CPU device is implemented";

bool aligned16(const void* p) { return reinterpret_cast<uintptr_t>(p) % 16 == 0; }

TEST(BufferTest, ZeroBytesTakesNoBlock) {
    for (const Buffer& b : {Buffer(0, Device::CPU), Buffer(Device::CPU)}) {
        EXPECT_EQ(b.base(), nullptr);
        EXPECT_EQ(b.size(), 0U);
        EXPECT_EQ(b.device(), Device::CPU);
    }
}

// The block is rounded up to a multiple of 16; writing the whole rounded length
// is allowed, and AddressSanitizer would catch a block cut to the request.
TEST(BufferTest, BlockIsAlignedAndRoundedUp) {
    for (size_t n : {1, 15, 16, 17, 31, 33, 1000}) {
        SCOPED_TRACE(n);
        Buffer b(n, Device::CPU);
        EXPECT_EQ(b.size(), n);
        ASSERT_NE(b.base(), nullptr);
        EXPECT_TRUE(aligned16(b.base()));
        std::memset(b.base(), 0xCD, (n + 15) / 16 * 16);
    }
}

TEST(BufferTest, OtherDevicesAreRefusedBeforeTheByteCount) {
    for (Device d : {Device::CUDA, Device::HIP}) {
        SCOPED_TRACE(to_string(d));
        EXPECT_TRUE(Throws<std::runtime_error>([&] { Buffer b(0, d); }, CPU_ONLY));
        EXPECT_TRUE(Throws<std::runtime_error>([&] { Buffer b(64, d); }, CPU_ONLY));
        EXPECT_TRUE(Throws<std::runtime_error>([&] { Buffer b(SIZE_MAX, d); }, CPU_ONLY));
        EXPECT_TRUE(Throws<std::runtime_error>([&] { Buffer b(d); }, CPU_ONLY));
    }
}

// Rounding these up to 16 would wrap to a tiny block.
TEST(BufferTest, ByteCountsThatCannotBeRoundedAreRefused) {
    for (size_t n = SIZE_MAX - 14; n != 0; ++n) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(test::ThrowsBadAlloc([&] { Buffer b(n, Device::CPU); }));
    }
}

TEST(BufferTest, MoveConstructionTransfersTheBlock) {
    Buffer src(40, Device::CPU);
    void* block = src.base();
    const Buffer dst(std::move(src));
    EXPECT_EQ(dst.base(), block);
    EXPECT_EQ(dst.size(), 40U);
    EXPECT_EQ(src.base(), nullptr);  // NOLINT(bugprone-use-after-move): the moved-from state is documented
    EXPECT_EQ(src.size(), 0U);
    EXPECT_EQ(src.device(), Device::CPU);
}  // both die here; AddressSanitizer reports a double free

TEST(BufferTest, SelfMoveAssignmentKeepsTheBlock) {
    Buffer b(24, Device::CPU);
    void* block = b.base();
    Buffer& alias = b;
    b = std::move(alias);
    EXPECT_EQ(b.base(), block);
    EXPECT_EQ(b.size(), 24U);
    std::memset(b.base(), 1, 24);  // still owned: AddressSanitizer would flag a freed block
}

// The target's own block must be released (LeakSanitizer) and the source emptied.
TEST(BufferTest, MoveAssignmentReleasesTheTargetsBlock) {
    Buffer target(100, Device::CPU);
    Buffer src(8, Device::CPU);
    void* block = src.base();
    target = std::move(src);
    EXPECT_EQ(target.base(), block);
    EXPECT_EQ(target.size(), 8U);
    EXPECT_EQ(src.base(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(src.size(), 0U);
    EXPECT_EQ(src.device(), Device::CPU);

    Buffer empty(Device::CPU);
    target = std::move(empty);
    EXPECT_EQ(target.base(), nullptr);
    EXPECT_EQ(target.size(), 0U);
}

}  // namespace
}  // namespace quarnel
