// The core's bulk paths against plain C, on Google Benchmark; GB/s counts the bytes written.
//
//   quarnel_bench_core [--quick] [benchmark flags]      (--quick: smaller strided copies, no 1 GiB blocks)
//
// fill: zeros and ones against aligned allocation, memset and free, at sizes that malloc and the library both
// hand back warm once freed. copy: contiguous copies against memcpy; views against a naive index loop and
// memcpy, both writing into the library's buffers as the copy does. first_touch: blocks too large for malloc
// or the library to keep, so that every call maps fresh pages, each written once per 4 KiB page (a first use).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "quarnel.h"

using namespace quarnel;

namespace {

constexpr size_t MiB = size_t{1} << 20;

Shape floats(size_t bytes) { return Shape({bytes / 4}); }

// A factory's fp32 tensor of `bytes`: &Tensor::zeros, &Tensor::ones, or one whose memory is not written.
Tensor make(Tensor (*factory)(const Shape&, Dtype, Device), size_t bytes) {
    return factory ? factory(floats(bytes), Dtype::FLOAT32, Device::CPU)
                   : Tensor(floats(bytes), Dtype::FLOAT32, Device::CPU);
}

void touch_pages(void* p, size_t bytes) {
    for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(p)[i] = 0;
}

// The C floor of a factory: aligned allocation, a fill (or a write per page when byte < 0), release.
void c_block(size_t bytes, int byte) {
    void* block = nullptr;
    if (posix_memalign(&block, 16, bytes) != 0) throw std::bad_alloc();
    if (byte < 0) {
        touch_pages(block, bytes);
    } else {
        std::memset(block, byte, bytes);
    }
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    std::free(block);
}

// Registers NAME/BYTES; each iteration is one call of `one`, which writes `bytes`.
template <typename F>
void add(const std::string& name, size_t bytes, F one) {
    benchmark::RegisterBenchmark((name + "/" + std::to_string(bytes)).c_str(), [=](benchmark::State& state) {
        for (auto _ : state) one();
        state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    });
}

void copy_of(const TensorImpl& src) { benchmark::DoNotOptimize(copy_contiguous_impl(src).storage()->data()); }

// One counter per dimension, the source position advanced by additions: what a straightforward copy does.
template <typename T>
void naive_copy(T* dst, const T* start, const Shape& shape, const Strides& strides) {
    uint64_t c[MAX_RANK] = {};
    uint64_t e = 0;
    const int rank = static_cast<int>(shape.rank());
    for (uint64_t j = 0; j < shape.numel(); ++j) {
        dst[j] = start[e];
        for (int k = rank - 1; k >= 0; --k) {
            e += strides[k];
            if (++c[k] < shape[k]) break;
            e -= shape[k] * strides[k];
            c[k] = 0;
        }
    }
}

// Views of `bytes` out of a storage twice as wide: windows of 4 KiB or 16-byte rows, one row repeated (outer
// stride 0), every other element (inner stride 2); each also 3 elements in.
template <typename T>
void add_strided(Dtype dtype, const std::string& type, size_t bytes) {
    const uint64_t n = bytes / sizeof(T);
    const uint64_t wide = 4096 / sizeof(T);
    const uint64_t narrow = 16 / sizeof(T);
    const auto storage = std::make_shared<Storage>(2 * n + 3, dtype, Device::CPU);
    const auto contiguous = std::make_shared<Storage>(n, dtype, Device::CPU);
    std::memset(storage->data(), 3, storage->nbytes());
    std::memset(contiguous->data(), 4, bytes);
    struct View {
        const char* name;
        uint64_t rows, cols, outer, inner;
    };
    for (const View v :
         {View{"window_4k", n / wide, wide, 2 * wide, 1}, View{"outer0_4k", n / wide, wide, 0, 1},
          View{"window_16b", n / narrow, narrow, 2 * narrow, 1}, View{"inner2_4k", n / wide, wide, 2 * wide, 2}}) {
        for (const uint64_t offset : {uint64_t{0}, uint64_t{3}}) {
            const Shape shape({v.rows, v.cols});
            const Strides strides({v.outer, v.inner});
            const auto src = std::make_shared<const TensorImpl>(storage, shape, strides, offset);
            const std::string name = std::string("strided/") + v.name + (offset ? "_off3/" : "/") + type + "/";
            add(name + "quarnel", bytes, [=] { copy_of(*src); });
            add(name + "naive", bytes, [=] {
                const Buffer dst(bytes, Device::CPU);
                naive_copy(static_cast<T*>(dst.base()), static_cast<const T*>(storage->data()) + offset, shape,
                           strides);
                benchmark::DoNotOptimize(dst.base());
            });
            add(name + "memcpy", bytes, [=] {
                const Buffer dst(bytes, Device::CPU);
                benchmark::DoNotOptimize(std::memcpy(dst.base(), contiguous->data(), bytes));
            });
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const bool quick = argc == 2 && std::string(argv[1]) == "--quick";
    if (argc > 1 && !quick) {
        benchmark::ReportUnrecognizedArguments(argc, argv);
        return 2;
    }
    for (const size_t bytes : {MiB / 16, MiB, 4 * MiB, 16 * MiB}) {
        add("fill/floor", bytes, [=] { c_block(bytes, 0); });
        // Some machines write zeros faster than other bytes, and ones cannot be written as zeros.
        add("fill/floor_3f", bytes, [=] { c_block(bytes, 0x3f); });
        add("fill/zeros", bytes, [=] { benchmark::DoNotOptimize(make(&Tensor::zeros, bytes)); });
        add("fill/ones", bytes, [=] { benchmark::DoNotOptimize(make(&Tensor::ones, bytes)); });
    }
    for (const size_t bytes : {MiB / 16, MiB, 16 * MiB}) {
        const auto src = std::make_shared<const TensorImpl>(floats(bytes), Dtype::FLOAT32, Device::CPU);
        std::memset(src->storage()->data(), 1, bytes);
        add("copy/quarnel", bytes, [=] { copy_of(*src); });
        add("copy/floor", bytes, [=] {
            void* dst = nullptr;
            if (posix_memalign(&dst, 16, bytes) != 0) throw std::bad_alloc();
            benchmark::DoNotOptimize(std::memcpy(dst, src->storage()->data(), bytes));
            std::free(dst);
        });
    }
    add_strided<uint32_t>(Dtype::FLOAT32, "fp32", quick ? 16 * MiB : 128 * MiB);
    add_strided<uint64_t>(Dtype::INT64, "i64", quick ? 16 * MiB : 128 * MiB);
    for (const size_t bytes : {64 * MiB, 256 * MiB, 1024 * MiB}) {
        if (quick && bytes > 256 * MiB) break;
        const auto touched = [bytes](const Tensor& t) { touch_pages(t.storage()->data(), bytes); };
        add("first_touch/floor", bytes, [=] { c_block(bytes, -1); });
        add("first_touch/tensor", bytes, [=] { touched(make(nullptr, bytes)); });
        add("first_touch/zeros", bytes, [=] { touched(make(&Tensor::zeros, bytes)); });
        add("first_touch/ones", bytes, [=] { benchmark::DoNotOptimize(make(&Tensor::ones, bytes)); });
        add("first_touch/execute", bytes, [=] {
            Graph graph;
            const Tensor pending(floats(bytes), Dtype::FLOAT32, Device::CPU, false);
            Executor().execute(graph.add_node("ADD", Op::ADD, {}, pending));
            touched(pending);
        });
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
