#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
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
    for (size_t n : {1UL, 15UL, 16UL, 17UL, 31UL, 33UL, 1000UL}) {
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

constexpr size_t MiB = size_t{1} << 20;

// The VmFlags line of the mapping that holds address, from /proc/self/smaps.
std::string mapping_flags(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<uintptr_t>(address);
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 && line.find('-') < 17) {
            inside = start <= at && at < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return "";
}

// From 4 MiB a block starts on a 2 MiB page and asks for huge pages, and
// keeps every promise of a smaller one: the size as asked, every byte to it
// written and read back, moves that carry it, one release (the sanitizers
// would see a second).
TEST(BufferTest, LargeBlocks) {
    for (size_t n : {4 * MiB - 1, 4 * MiB, 4 * MiB + 1, 5 * MiB + 3, 33 * MiB}) {
        SCOPED_TRACE(n);
        Buffer b(n, Device::CPU);
        EXPECT_EQ(b.size(), n);
        ASSERT_NE(b.base(), nullptr);
        EXPECT_TRUE(aligned16(b.base()));
        auto* bytes = static_cast<unsigned char*>(b.base());
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
        size_t wrong = 0;
        for (size_t i = 0; i < n; ++i) wrong += bytes[i] != static_cast<unsigned char>(i * 7 + 1);
        EXPECT_EQ(wrong, 0U);
#ifdef MADV_HUGEPAGE
        if (n >= 4 * MiB) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(b.base()) % (2 * MiB), 0U);
            const std::string flags = mapping_flags(b.base());
            EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
        }
#endif
        Buffer moved(std::move(b));
        EXPECT_EQ(moved.base(), bytes);
        EXPECT_EQ(moved.size(), n);
        EXPECT_EQ(b.base(), nullptr);  // NOLINT(bugprone-use-after-move)
        Buffer target(64, Device::CPU);
        target = std::move(moved);
        EXPECT_EQ(target.base(), bytes);
        EXPECT_EQ(bytes[n - 1], static_cast<unsigned char>((n - 1) * 7 + 1));
    }
}

// A large block is mapped for itself: it starts on a huge page and ends with
// its last 4 KiB page, so it holds no more memory than its pages even when
// every byte is written; the page after it is not mapped at all.
TEST(BufferTest, LargeBlocksSpanTheirPagesAndNoMore) {
    constexpr size_t PAGE = 4096, HUGE = size_t{2} << 20;
    for (const size_t n : {Buffer::LARGE_FROM, Buffer::LARGE_FROM + 4, size_t{5} << 20, (size_t{64} << 20) + 4}) {
        SCOPED_TRACE(n);
        Buffer b(n, Device::CPU);
        const auto start = reinterpret_cast<uintptr_t>(b.base());
        EXPECT_EQ(start % HUGE, 0U);
        const size_t length = (n + PAGE - 1) / PAGE * PAGE;
        std::memset(b.base(), 0x3C, length);
        unsigned char state = 0;
        EXPECT_EQ(mincore(reinterpret_cast<void*>(start + length - PAGE), PAGE, &state), 0);
        EXPECT_EQ(mincore(reinterpret_cast<void*>(start + length), PAGE, &state), -1);
    }
}

// Large tensors give their memory back when they die: the resident set
// returns to where it was after ten 256 MiB tensors come and go (ones, which
// writes every page; zeros of a fresh block leaves its pages to the kernel).
TEST(BufferTest, LargeBlocksGoBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
#endif
    const auto resident = [] {
        std::ifstream statm("/proc/self/statm");
        size_t total = 0, pages = 0;
        statm >> total >> pages;
        return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
    };
    const size_t before = resident();
    size_t most = 0;
    for (int i = 0; i < 10; ++i) {
        const Tensor t = Tensor::ones(Shape(std::vector<uint64_t>{64 * MiB}), Dtype::FLOAT32, Device::CPU);
        most = std::max(most, resident());
    }
    EXPECT_GT(most, before + 200 * MiB);
    EXPECT_LT(resident(), before + 16 * MiB);
}

}  // namespace
}  // namespace quarnel
