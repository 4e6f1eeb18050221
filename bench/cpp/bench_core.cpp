// Microbenchmarks of the core's bulk paths against plain C: the ones fill
// against memset, contiguous copies against memcpy, and non-contiguous
// copies against a naive index loop and against memcpy of the same bytes.
//
//   quarnel_bench_core [--quick]
//
// Prints one JSON object per result. Every variant that allocates does so
// the same way (aligned block, freed after use) with warm malloc settings,
// so the figures compare fills and copies, not page faults; except the
// first-touch section, which measures just that, for large blocks.
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/cpp/timing.h"
#include "quarnel.h"

using namespace quarnel;

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

void* aligned_block(size_t nbytes) {
    void* block = nullptr;
    if (posix_memalign(&block, 16, (nbytes + 15) & ~size_t{15}) != 0) throw std::bad_alloc();
    return block;
}

// Repeats f until a sample lasts about target_ns; returns ns per call.
template <typename F>
double per_call(F&& f, int64_t target_ns) {
    int64_t reps = 1;
    for (;;) {
        const int64_t t0 = bench::now_ns();
        for (int64_t i = 0; i < reps; ++i) f();
        const int64_t dt = bench::now_ns() - t0;
        if (dt >= target_ns || reps >= (int64_t{1} << 30)) return static_cast<double>(dt) / static_cast<double>(reps);
        reps = dt <= 0 ? reps * 16 : std::max<int64_t>(reps * 2, reps * target_ns / dt + 1);
    }
}

// The two variants every copy benchmark times: the library's copy, which
// allocates its result, and the same allocation with memcpy and a free.
//
// From 4 MiB a copy's block is aligned to 2 MiB. In a heap that never maps
// blocks (these warm settings), glibc's aligned allocation cannot reuse the
// space of the previous block of the same size until enough freed blocks
// have merged: the first few dozen copies land on fresh memory, then reuse
// settles. The copy runs that long before it is timed.
std::function<double()> time_library_copy(const TensorImpl& src, int64_t target) {
    for (int i = 0; i < 40; ++i) bench::keep(copy_contiguous_impl(src).storage()->data());
    return [&src, target] {
        return per_call([&] {
            TensorImpl copy = copy_contiguous_impl(src);
            bench::keep(copy.storage()->data());
        }, target);
    };
}

std::function<double()> time_alloc_memcpy_free(const void* from, size_t bytes, int64_t target) {
    return [from, bytes, target] {
        return per_call([&] {
            void* dst = aligned_block(bytes);
            std::memcpy(dst, from, bytes);
            bench::keep(dst);
            std::free(dst);
        }, target);
    };
}

// The element-at-a-time walk: one counter per dimension, the source position
// advanced by additions. What a straightforward implementation does.
template <typename T>
void naive_copy(T* dst, const T* start, const Shape& shape, const Strides& strides) {
    const uint64_t n = shape.numel();
    const int rank = static_cast<int>(shape.rank());
    uint64_t c[MAX_RANK] = {};
    uint64_t e = 0;
    for (uint64_t j = 0; j < n; ++j) {
        dst[j] = start[e];
        for (int k = rank - 1; k >= 0; --k) {
            ++c[k];
            e += strides[k];
            if (c[k] < shape[k]) break;
            e -= shape[k] * strides[k];
            c[k] = 0;
        }
    }
}

std::string size_name(size_t bytes) {
    if (bytes >= MiB) return std::to_string(bytes / MiB) + " MiB";
    return std::to_string(bytes / KiB) + " KiB";
}

void bench_fill(const std::vector<size_t>& sizes, int rounds) {
    for (size_t bytes : sizes) {
        auto* buf = static_cast<unsigned char*>(aligned_block(bytes));
        std::memset(buf, 1, bytes);
        const int64_t target = 2'000'000;
        const auto m = bench::interleave(
            {
                [&] { return per_call([&] { std::memset(buf, 0, bytes); bench::keep(buf); }, target); },
                // The same with a byte that is not zero: large zero fills run
                // faster on some machines, and ones cannot be written as zeros.
                [&] { return per_call([&] { std::memset(buf, 0x3f, bytes); bench::keep(buf); }, target); },
                [&] { return per_call([&] { fill_ones(buf, Dtype::FLOAT32, static_cast<long long>(bytes / 4)); bench::keep(buf); }, target); },
                [&] { return per_call([&] { fill_ones(buf, Dtype::FLOAT64, static_cast<long long>(bytes / 8)); bench::keep(buf); }, target); },
            },
            rounds);
        bench::Json("fill").str("size", size_name(bytes)).num("bytes", static_cast<double>(bytes))
            .num("memset_ns", m[0]).num("memset_nonzero_ns", m[1]).num("fill_fp32_ns", m[2])
            .num("fill_f64_ns", m[3]).print();
        std::free(buf);
    }
}

void bench_contiguous_copy(const std::vector<size_t>& sizes, int rounds) {
    for (size_t bytes : sizes) {
        const TensorImpl src(Shape({bytes / 4}), Dtype::FLOAT32, Device::CPU);
        std::memset(src.storage()->data(), 1, bytes);
        const void* from = src.storage()->data();
        void* pre = aligned_block(bytes);
        std::memset(pre, 2, bytes);
        const int64_t target = 2'000'000;
        const auto m = bench::interleave(
            {
                time_library_copy(src, target),
                time_alloc_memcpy_free(from, bytes, target),
                [&] { return per_call([&] { std::memcpy(pre, from, bytes); bench::keep(pre); }, target); },
            },
            rounds);
        bench::Json("contiguous_copy").str("size", size_name(bytes)).num("bytes", static_cast<double>(bytes))
            .num("quarnel_ns", m[0]).num("alloc_memcpy_free_ns", m[1]).num("memcpy_only_ns", m[2]).print();
        std::free(pre);
    }
}

struct StridedCase {
    std::string name;
    Dtype dtype;
    uint64_t rows;
    uint64_t cols;
    uint64_t outer_stride;
    uint64_t inner_stride;
    uint64_t offset;
};

template <typename T>
void run_strided(const StridedCase& c, int rounds) {
    const Shape shape({c.rows, c.cols});
    const Strides strides({c.outer_stride, c.inner_stride});
    const uint64_t last = c.offset + (c.rows - 1) * c.outer_stride + (c.cols - 1) * c.inner_stride;
    auto storage = std::make_shared<Storage>(last + 1, c.dtype, Device::CPU);
    std::memset(storage->data(), 3, storage->nbytes());
    const TensorImpl src(storage, shape, strides, c.offset);
    const size_t bytes = shape.numel() * sizeof(T);
    const T* start = static_cast<const T*>(storage->data()) + c.offset;
    // memcpy's reference reads a contiguous block of the same size.
    void* contiguous_src = aligned_block(bytes);
    std::memset(contiguous_src, 4, bytes);

    // Each variant checks itself against the others once, so a fast wrong
    // copy cannot pass for a result.
    {
        TensorImpl copy = copy_contiguous_impl(src);
        std::vector<T> expect(shape.numel());
        naive_copy(expect.data(), start, shape, strides);
        if (std::memcmp(copy.storage()->data(), expect.data(), bytes) != 0) {
            std::fprintf(stderr, "bench_core: copy of %s differs from the naive walk\n", c.name.c_str());
            std::exit(1);
        }
    }

    const int64_t target = 20'000'000;
    const auto m = bench::interleave(
        {
            time_library_copy(src, target),
            [&] {
                return per_call([&] {
                    T* dst = static_cast<T*>(aligned_block(bytes));
                    naive_copy(dst, start, shape, strides);
                    bench::keep(dst);
                    std::free(dst);
                }, target);
            },
            time_alloc_memcpy_free(contiguous_src, bytes, target),
        },
        rounds);
    bench::Json("strided_copy").str("case", c.name).str("dtype", to_string(c.dtype))
        .num("bytes", static_cast<double>(bytes)).num("rows", static_cast<double>(c.rows))
        .num("cols", static_cast<double>(c.cols)).num("outer_stride", static_cast<double>(c.outer_stride))
        .num("inner_stride", static_cast<double>(c.inner_stride)).num("offset", static_cast<double>(c.offset))
        .num("quarnel_ns", m[0]).num("naive_ns", m[1]).num("alloc_memcpy_free_ns", m[2]).print();
    std::free(contiguous_src);
}

void bench_strided(size_t bytes, int rounds) {
    std::vector<StridedCase> cases;
    for (Dtype dt : {Dtype::FLOAT32, Dtype::INT64}) {
        const uint64_t w = dtype_size(dt);
        const uint64_t n = bytes / w;
        // Half of each row of a storage twice as wide: 4 KiB rows.
        const uint64_t wide = 4096 / w;
        for (uint64_t off : {uint64_t{0}, uint64_t{3}}) {
            const std::string o = off ? ", offset 3" : "";
            cases.push_back({"window of a wide storage, 4 KiB rows" + o, dt, n / wide, wide, 2 * wide, 1, off});
            cases.push_back({"window of a wide storage, 16 B rows" + o, dt, n / (16 / w), 16 / w, 2 * (16 / w), 1, off});
            cases.push_back({"outer stride 0, 4 KiB rows" + o, dt, n / wide, wide, 0, 1, off});
            cases.push_back({"inner stride 2, 4 KiB rows" + o, dt, n / wide, wide, 2 * wide, 2, off});
        }
    }
    for (const auto& c : cases) {
        if (dtype_size(c.dtype) == 4) {
            run_strided<uint32_t>(c, rounds);
        } else {
            run_strided<uint64_t>(c, rounds);
        }
    }
}

// A block aligned to 2 MiB spanning whole 2 MiB pages, advised as huge
// pages: what the library does from 4 MiB up, as plain C.
void* huge_block(size_t nbytes) {
    constexpr size_t page = 2 * MiB;
    const size_t length = (nbytes + page - 1) & ~(page - 1);
    void* block = nullptr;
    if (posix_memalign(&block, page, length) != 0) throw std::bad_alloc();
    (void)madvise(block, length, MADV_HUGEPAGE);
    return block;
}

// One write per 4 KiB page: the least that using new memory takes.
void touch_pages(void* p, size_t bytes) {
    for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(p)[i] = 0;
}

// Large blocks on first touch: every call gets fresh pages from the system,
// as a new tensor in a running program does (main has malloc map each block
// and unmap it on free, with a fixed threshold that frees do not raise).
void bench_first_touch(const std::vector<size_t>& sizes, int rounds) {
    for (size_t bytes : sizes) {
        const uint64_t n = bytes / 4;
        const Shape shape({n});
        // The copy's source: a window of 4 KiB rows out of a storage twice as wide.
        constexpr uint64_t row = 1024;
        auto wide = std::make_shared<Storage>(2 * n, Dtype::FLOAT32, Device::CPU);
        std::memset(wide->data(), 5, 2 * bytes);
        const TensorImpl window(wide, Shape({n / row, row}), Strides({2 * row, 1}), 0);
        void* from = aligned_block(bytes);
        std::memset(from, 6, bytes);
        const int64_t target = 20'000'000;
        const auto m = bench::interleave(
            {
                [&] { return per_call([&] {
                    const Tensor t(shape, Dtype::FLOAT32, Device::CPU);
                    touch_pages(t.storage()->data(), bytes);
                }, target); },
                [&] { return per_call([&] {
                    const Tensor t = Tensor::zeros(shape, Dtype::FLOAT32, Device::CPU);
                    touch_pages(t.storage()->data(), bytes);
                }, target); },
                [&] { return per_call([&] {
                    Graph graph;
                    const Tensor pending(shape, Dtype::FLOAT32, Device::CPU, false);
                    Executor().execute(graph.add_node("ADD", Op::ADD, {}, pending));
                    touch_pages(pending.storage()->data(), bytes);
                }, target); },
                [&] { return per_call([&] { void* b = aligned_block(bytes); touch_pages(b, bytes); std::free(b); }, target); },
                [&] { return per_call([&] { void* b = huge_block(bytes); touch_pages(b, bytes); std::free(b); }, target); },
                time_library_copy(window, target),
                time_alloc_memcpy_free(from, bytes, target),
                [&] { return per_call([&] {
                    void* b = huge_block(bytes);
                    std::memcpy(b, from, bytes);
                    bench::keep(b);
                    std::free(b);
                }, target); },
            },
            rounds);
        bench::Json("first_touch").str("size", size_name(bytes)).num("bytes", static_cast<double>(bytes))
            .num("tensor_ns", m[0]).num("zeros_ns", m[1]).num("execute_ns", m[2]).num("floor_touch_ns", m[3])
            .num("floor_huge_touch_ns", m[4]).num("copy_ns", m[5]).num("floor_memcpy_ns", m[6])
            .num("floor_huge_memcpy_ns", m[7]).print();
        std::free(from);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // bench_core [--quick] [fill] [copy] [strided]: the named sections, or all;
    // bench_core [--quick] first-touch: that section alone, in a process whose
    // heap has held nothing warm.
    bool quick = false;
    std::vector<std::string> sections;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else {
            sections.push_back(arg);
        }
    }
    if (sections == std::vector<std::string>{"first-touch"}) {
        mallopt(M_MMAP_THRESHOLD, 128 * KiB);
        mallopt(M_TRIM_THRESHOLD, 128 * KiB);
        mallopt(M_TOP_PAD, 0);
        std::vector<size_t> large = {16 * MiB, 64 * MiB};
        if (!quick) large.insert(large.end(), {256 * MiB, 1024 * MiB});
        bench_first_touch(large, quick ? 3 : 5);
        return 0;
    }
    const auto wanted = [&](const char* name) {
        return sections.empty() || std::find(sections.begin(), sections.end(), name) != sections.end();
    };
    bench::warm_malloc();
    const int rounds = quick ? 5 : 9;
    std::vector<size_t> sizes = {64 * KiB, 1 * MiB, 16 * MiB};
    if (!quick) sizes.push_back(128 * MiB);
    if (wanted("fill")) bench_fill(sizes, rounds);
    if (wanted("copy")) bench_contiguous_copy(sizes, rounds);
    if (wanted("strided")) bench_strided(quick ? 16 * MiB : 128 * MiB, quick ? 3 : 7);
    return 0;
}
