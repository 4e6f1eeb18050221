#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "graph/pending.h"
#include "test_util.h"

namespace quarnel {
namespace {

using test::dims_of;
using U = std::vector<uint64_t>;

size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Results are carved one after another from 2 MiB chunks; enough of them to
// fill several chunks must each be a whole, separate tensor.
TEST(PendingTest, ResultsAcrossChunks) {
    const Tensor a(Shape(U{3}), Dtype::INT64, Device::CPU), b(Shape(U{3}), Dtype::INT64, Device::CPU);
    std::vector<Tensor> results;
    results.push_back(add(a, b));
    for (int i = 1; i < 40'000; ++i) results.push_back(add(results.back(), i % 2 ? a : b));
    size_t wrong = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const Tensor& t = results[i];
        wrong += dims_of(t.shape()) != U{3} || dims_of(t.strides()) != U{1} || t.offset() != 0 ||
                 t.dtype() != Dtype::INT64 || t.storage()->numel() != 3 ||
                 reinterpret_cast<uintptr_t>(t.impl().get()) % alignof(TensorImpl) != 0 ||
                 reinterpret_cast<uintptr_t>(t.storage().get()) % alignof(Storage) != 0 ||
                 (i > 0 && (t.impl() == results[i - 1].impl() || t.storage() == results[i - 1].storage()));
    }
    EXPECT_EQ(wrong, 0U);
    // Executing the last one allocates the chain behind it, across every chunk.
    execute(results.back());
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i].allocated()) << i;
        static_cast<int64_t*>(results[i].storage()->data())[2] = static_cast<int64_t>(i);
    }
}

// Pending results that no node holds die with their last handle, on any
// thread, and give back the memory they allocated; the arena's own space is
// not reused, but never costs more than the records themselves.
TEST(PendingTest, ResultsDieOnAnyThread) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
#endif
    constexpr size_t COUNT = 64;
    constexpr size_t MiB = size_t{1} << 20;
    std::vector<Tensor> made, half;
    const size_t before = resident_bytes();
    for (size_t i = 0; i < COUNT; ++i) {
        made.push_back(detail::make_pending(Shape(U{MiB / 4}), Dtype::FLOAT32, Device::CPU));
        made.back().allocate();
        std::memset(made.back().storage()->data(), 1, MiB);
    }
    const size_t full = resident_bytes();
    EXPECT_GT(full, before + COUNT * MiB / 2);
    std::move(made.begin() + COUNT / 2, made.end(), std::back_inserter(half));
    made.erase(made.begin() + COUNT / 2, made.end());
    std::thread other([&half] { half.clear(); });
    made.clear();
    other.join();
    EXPECT_GT(full, resident_bytes() + COUNT * MiB / 2);
    const Tensor after = detail::make_pending(Shape(U{5}), Dtype::INT32, Device::CPU);
    EXPECT_EQ(after.numel(), 5);
    EXPECT_FALSE(after.allocated());
}

}  // namespace
}  // namespace quarnel
