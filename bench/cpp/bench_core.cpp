// Microbenchmarks of the core's bulk paths against plain C: the ones fill
// against memset, contiguous copies against memcpy, non-contiguous copies
// against a naive index loop and against memcpy of the same bytes, and the
// first touch of large blocks against C allocations touched the same way.
//
//   quarnel_bench_core [--quick] [fill] [copy] [strided] [benchmark flags]
//   quarnel_bench_core [--quick] first-touch [benchmark flags]
//
// No section named runs fill, copy and strided; first-touch runs alone, in a
// process whose heap has held nothing warm. The defaults set in main make a
// plain run report the medians of interleaved repetitions, which
// bench/report.py reads from --benchmark_out. Every variant that allocates
// does so the same way (aligned block, freed after use) with warm malloc
// settings, so the figures compare fills and copies, not page faults; except
// the first-touch section, which measures just that.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "quarnel.h"

using namespace quarnel;

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;
constexpr size_t PAGE = 4096;

void* aligned_block(size_t nbytes) {
    void* block = nullptr;
    if (posix_memalign(&block, 16, (nbytes + 15) & ~size_t{15}) != 0) throw std::bad_alloc();
    return block;
}

// A block that lives as long as the benchmarks that read or write it.
using Block = std::shared_ptr<unsigned char>;
Block filled_block(size_t nbytes, int value) {
    Block block(static_cast<unsigned char*>(aligned_block(nbytes)), std::free);
    std::memset(block.get(), value, nbytes);
    return block;
}

// The bytes behind p count as used, so the writes before stay.
void keep(const void* p) { benchmark::DoNotOptimize(p); }

// Registers one benchmark; each iteration is one call of `one`, which
// returns the bytes it wrote.
template <typename F>
void add(const std::string& name, F one, const benchmark::UserCounters& counters = {}) {
    benchmark::RegisterBenchmark(name.c_str(), [one, counters](benchmark::State& state) mutable {
        int64_t bytes = 0;
        for (auto _ : state) bytes += static_cast<int64_t>(one());
        state.counters = counters;
        state.SetBytesProcessed(bytes);  // a counter itself, so set after
    })->Unit(benchmark::kNanosecond);
}

size_t library_copy(const TensorImpl& src) {
    const TensorImpl copy = copy_contiguous_impl(src);
    keep(copy.storage()->data());
    return copy.storage()->nbytes();
}

// The first copies of a size land on memory new to the process, before the
// heap or the library's kept blocks have any of that size to give back; a
// few dozen run once, before anything is timed.
void warm_up(const TensorImpl& src) {
    for (int i = 0; i < 40; ++i) library_copy(src);
}

size_t alloc_memcpy_free(const void* from, size_t bytes) {
    void* dst = aligned_block(bytes);
    std::memcpy(dst, from, bytes);
    keep(dst);
    std::free(dst);
    return bytes;
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

void add_fill(size_t bytes) {
    const Block buf = filled_block(bytes, 1);
    const std::string size = std::to_string(bytes);
    add("fill/memset_0/" + size, [buf, bytes] { std::memset(buf.get(), 0, bytes); keep(buf.get()); return bytes; });
    // The same with a byte that is not zero: large zero fills run faster on
    // some machines, and ones cannot be written as zeros.
    add("fill/memset_3f/" + size, [buf, bytes] { std::memset(buf.get(), 0x3f, bytes); keep(buf.get()); return bytes; });
    add("fill/ones_fp32/" + size, [buf, bytes] {
        fill_ones(buf.get(), Dtype::FLOAT32, static_cast<long long>(bytes / 4));
        keep(buf.get());
        return bytes;
    });
    add("fill/ones_f64/" + size, [buf, bytes] {
        fill_ones(buf.get(), Dtype::FLOAT64, static_cast<long long>(bytes / 8));
        keep(buf.get());
        return bytes;
    });
}

void add_copy(size_t bytes) {
    const auto src = std::make_shared<const TensorImpl>(Shape({bytes / 4}), Dtype::FLOAT32, Device::CPU);
    std::memset(src->storage()->data(), 1, bytes);
    const Block pre = filled_block(bytes, 2);
    warm_up(*src);
    const std::string size = std::to_string(bytes);
    add("copy/quarnel/" + size, [src] { return library_copy(*src); });
    add("copy/alloc_memcpy_free/" + size, [src, bytes] { return alloc_memcpy_free(src->storage()->data(), bytes); });
    add("copy/memcpy_only/" + size, [src, pre, bytes] {
        std::memcpy(pre.get(), src->storage()->data(), bytes);
        keep(pre.get());
        return bytes;
    });
}

struct StridedCase {
    std::string name;
    uint64_t rows;
    uint64_t cols;
    uint64_t outer_stride;
    uint64_t inner_stride;
    uint64_t offset;
};

// Each case reads `bytes` through a view of one storage per dtype, twice as
// wide as the view plus room for the offset.
template <typename T>
void add_strided(Dtype dtype, const char* dtype_name, size_t bytes) {
    const uint64_t n = bytes / sizeof(T);
    const uint64_t wide = 4096 / sizeof(T);  // 4 KiB rows
    const uint64_t narrow = 16 / sizeof(T);  // 16 B rows
    std::vector<StridedCase> cases;
    for (uint64_t off : {uint64_t{0}, uint64_t{3}}) {
        const std::string o = off ? "_off3" : "";
        cases.push_back({"window_4k" + o, n / wide, wide, 2 * wide, 1, off});
        cases.push_back({"window_16b" + o, n / narrow, narrow, 2 * narrow, 1, off});
        cases.push_back({"outer0_4k" + o, n / wide, wide, 0, 1, off});
        cases.push_back({"inner2_4k" + o, n / wide, wide, 2 * wide, 2, off});
    }
    const auto storage = std::make_shared<Storage>(2 * n + 3, dtype, Device::CPU);
    std::memset(storage->data(), 3, storage->nbytes());
    // memcpy's reference reads a contiguous block of the same size.
    const Block contiguous = filled_block(bytes, 4);

    for (const StridedCase& c : cases) {
        const Shape shape({c.rows, c.cols});
        const Strides strides({c.outer_stride, c.inner_stride});
        const auto src = std::make_shared<const TensorImpl>(storage, shape, strides, c.offset);
        const std::string name = "strided/" + c.name + "/" + dtype_name + "/";

        // Checked once against the naive walk, so a fast wrong copy cannot
        // pass for a result.
        {
            const TensorImpl copy = copy_contiguous_impl(*src);
            std::vector<T> expect(shape.numel());
            naive_copy(expect.data(), static_cast<const T*>(storage->data()) + c.offset, shape, strides);
            if (std::memcmp(copy.storage()->data(), expect.data(), bytes) != 0) {
                std::fprintf(stderr, "bench_core: copy of %s differs from the naive walk\n", name.c_str());
                std::exit(1);
            }
        }
        warm_up(*src);

        const benchmark::UserCounters counters = {
            {"rows", static_cast<double>(c.rows)},
            {"cols", static_cast<double>(c.cols)},
            {"outer_stride", static_cast<double>(c.outer_stride)},
            {"inner_stride", static_cast<double>(c.inner_stride)},
            {"offset", static_cast<double>(c.offset)},
        };
        add(name + "quarnel", [src] { return library_copy(*src); }, counters);
        // The floors write into a buffer of the library's own, as the copy
        // does: above 16 MiB it maps fresh pages every time where malloc
        // would hand back warm ones here, and the loops are what is compared.
        add(name + "naive", [storage, offset = c.offset, shape, strides, bytes] {
            const Buffer dst(bytes, Device::CPU);
            naive_copy(static_cast<T*>(dst.base()), static_cast<const T*>(storage->data()) + offset, shape, strides);
            keep(dst.base());
            return bytes;
        }, counters);
        add(name + "alloc_memcpy_free", [contiguous, bytes] {
            const Buffer dst(bytes, Device::CPU);
            std::memcpy(dst.base(), contiguous.get(), bytes);
            keep(dst.base());
            return bytes;
        }, counters);
    }
}

// A block aligned to 2 MiB spanning whole 2 MiB pages, advised as huge
// pages: what the library does from 4 MiB up, as plain C.
void* huge_block(size_t nbytes) {
    constexpr size_t huge_page = 2 * MiB;
    const size_t length = (nbytes + huge_page - 1) & ~(huge_page - 1);
    void* block = nullptr;
    if (posix_memalign(&block, huge_page, length) != 0) throw std::bad_alloc();
    (void)madvise(block, length, MADV_HUGEPAGE);
    return block;
}

// One write per 4 KiB page: the least that using new memory takes.
void touch_pages(void* p, size_t bytes) {
    for (size_t i = 0; i < bytes; i += PAGE) static_cast<volatile char*>(p)[i] = 0;
}

// Large blocks on first touch: every call gets fresh pages from the system,
// as a new tensor in a running program does (main has malloc map each block
// and unmap it on free, with a fixed threshold that frees do not raise).
// The library keeps up to 16 MiB of released large blocks for a request of
// the same page-rounded length, so every variant, the C floors alike, cycles
// through 8 lengths: `bytes` plus 1 to 8 pages. None is exactly 16 MiB, so
// none is kept, and a length comes back only after 7 others.
constexpr size_t LENGTHS = 8;

// `wide` holds the copies' source, a window of 4 KiB rows out of a storage
// twice as wide, and `from` memcpy's; both serve every size.
void add_first_touch(size_t bytes, const std::shared_ptr<Storage>& wide, const Block& from) {
    constexpr uint64_t row = 1024;
    std::vector<TensorImpl> windows;
    for (size_t k = 1; k <= LENGTHS; ++k) {
        windows.emplace_back(wide, Shape({bytes / PAGE + k, row}), Strides({2 * row, 1}), 0);
    }
    const auto sources = std::make_shared<const std::vector<TensorImpl>>(std::move(windows));
    // Each call takes the next length of the cycle.
    auto cycle = [bytes, k = size_t{0}]() mutable {
        k = k % LENGTHS + 1;
        return bytes + k * PAGE;
    };
    const auto floats = [](size_t length) { return Shape({length / 4}); };
    const std::string size = std::to_string(bytes);

    add("first_touch/tensor/" + size, [=]() mutable {
        const size_t length = cycle();
        const Tensor t(floats(length), Dtype::FLOAT32, Device::CPU);
        touch_pages(t.storage()->data(), length);
        return length;
    });
    add("first_touch/zeros/" + size, [=]() mutable {
        const size_t length = cycle();
        const Tensor t = Tensor::zeros(floats(length), Dtype::FLOAT32, Device::CPU);
        touch_pages(t.storage()->data(), length);
        return length;
    });
    add("first_touch/ones/" + size, [=]() mutable {
        const size_t length = cycle();
        const Tensor t = Tensor::ones(floats(length), Dtype::FLOAT32, Device::CPU);
        keep(t.storage()->data());
        return length;
    });
    add("first_touch/execute/" + size, [=]() mutable {
        const size_t length = cycle();
        Graph graph;
        const Tensor pending(floats(length), Dtype::FLOAT32, Device::CPU, false);
        Executor().execute(graph.add_node("ADD", Op::ADD, {}, pending));
        touch_pages(pending.storage()->data(), length);
        return length;
    });
    for (const auto& [name, block] :
         {std::pair{"floor_touch", &aligned_block}, std::pair{"floor_huge_touch", &huge_block}}) {
        add("first_touch/" + std::string(name) + "/" + size, [=, block = block]() mutable {
            const size_t length = cycle();
            void* b = block(length);
            touch_pages(b, length);
            std::free(b);
            return length;
        });
    }
    add("first_touch/copy/" + size, [sources, k = size_t{0}]() mutable {
        k = (k + 1) % LENGTHS;
        return library_copy((*sources)[k]);
    });
    add("first_touch/floor_memcpy/" + size, [=]() mutable { return alloc_memcpy_free(from.get(), cycle()); });
    add("first_touch/floor_huge_memcpy/" + size, [=]() mutable {
        const size_t length = cycle();
        void* b = huge_block(length);
        std::memcpy(b, from.get(), length);
        keep(b);
        std::free(b);
        return length;
    });
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::vector<std::string> sections;
    std::vector<char*> passed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "fill" || arg == "copy" || arg == "strided" || arg == "first-touch") {
            sections.push_back(arg);
        } else {
            passed.push_back(argv[i]);
        }
    }
    const auto named = [&](const char* name) {
        return std::find(sections.begin(), sections.end(), name) != sections.end();
    };
    const bool first_touch = named("first-touch");
    if (first_touch && sections.size() > 1) {
        std::fprintf(stderr, "bench_core: first-touch runs alone\n");
        return 2;
    }
    // Before anything large is allocated.
    if (first_touch) {
        mallopt(M_MMAP_THRESHOLD, 128 * KiB);
        mallopt(M_TRIM_THRESHOLD, 128 * KiB);
        mallopt(M_TOP_PAD, 0);
    } else {
        // Freed blocks stay in the heap and come back warm: no mmap for large
        // blocks, no trimming of the top.
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, INT32_MAX);
        mallopt(M_TOP_PAD, 64 << 20);
    }

    // Defaults first: a flag given on the command line comes later and wins.
    // Each repetition is short and they all take turns in a random order, so
    // whatever disturbs the machine meanwhile lands on every variant alike.
    std::vector<std::string> defaults = {
        "--benchmark_repetitions=" + std::to_string(quick ? 5 : 9),
        "--benchmark_enable_random_interleaving=true",
        "--benchmark_report_aggregates_only=true",
        "--benchmark_min_time=0.01",
    };
    std::vector<char*> args = {argv[0]};
    for (std::string& d : defaults) args.push_back(d.data());
    args.insert(args.end(), passed.begin(), passed.end());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    if (first_touch) {
        std::vector<size_t> large = {16 * MiB, 64 * MiB};
        if (!quick) large.insert(large.end(), {256 * MiB, 1024 * MiB});
        const size_t most = large.back() + LENGTHS * PAGE;
        const auto wide = std::make_shared<Storage>(2 * most / 4, Dtype::FLOAT32, Device::CPU);
        std::memset(wide->data(), 5, wide->nbytes());
        const Block from = filled_block(most, 6);
        for (size_t bytes : large) add_first_touch(bytes, wide, from);
    } else {
        const auto wanted = [&](const char* name) { return sections.empty() || named(name); };
        std::vector<size_t> sizes = {64 * KiB, 1 * MiB, 16 * MiB};
        if (!quick) sizes.push_back(128 * MiB);
        if (wanted("fill")) for (size_t bytes : sizes) add_fill(bytes);
        if (wanted("copy")) for (size_t bytes : sizes) add_copy(bytes);
        if (wanted("strided")) {
            const size_t bytes = quick ? 16 * MiB : 128 * MiB;
            add_strided<uint32_t>(Dtype::FLOAT32, "fp32", bytes);
            add_strided<uint64_t>(Dtype::INT64, "i64", bytes);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
