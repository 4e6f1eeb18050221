// The graph's cost per node, on Google Benchmark. A repetition records N lazy adds of [2, 3] fp32 tensors into
// the process-wide graph (chain: t = t + b; tree: a balanced tree over one leaf), executes the last result,
// executes it again (a walk: all is allocated) and schedules it alone; its time is recording and executing, its
// counters each phase per node, recording's user CPU time (the rest is the kernel's page faults), the resident
// growth per node and the peak resident set. bench/run runs 10^7 each in a process of its own.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "quarnel.h"

using namespace quarnel;

namespace {

double wall_ns() {
    return static_cast<double>(std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1));
}

double user_ns() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) * 1e9 + static_cast<double>(usage.ru_utime.tv_usec) * 1e3;
}

// A field of /proc/self/status, given there in kB, as bytes.
double status_bytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field)) return std::stod(line.substr(field.size())) * 1024.0;
    }
    return 0.0;
}

// A virtual machine's host may back guest memory only on its first touch, at several times the guest's own
// page fault, while memory the process has just freed comes back backed: touching and freeing what a
// repetition will use first measures the library rather than the host's history.
void settle(size_t bytes) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return;
    for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(block)[i] = 1;
    munmap(block, bytes);
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak reported is the graph's, not the settling's
}

Tensor tree(const Tensor& leaf, int64_t adds) {
    if (adds == 0) return leaf;
    const int64_t left = (adds - 1) / 2;
    return add(tree(leaf, left), tree(leaf, adds - 1 - left));
}

void graph(benchmark::State& state, bool balanced) {
    const int64_t n = state.range(0);
    const Tensor a(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    const Tensor b(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    for (auto _ : state) {
        settle(static_cast<size_t>(n) * 480);  // what a node keeps, with some to spare
        const double rss0 = status_bytes("VmRSS:");
        const double t0 = wall_ns();
        const double u0 = user_ns();
        Tensor out = a;
        if (balanced) {
            out = tree(a, n);
        } else {
            for (int64_t i = 0; i < n; ++i) out = add(out, b);
        }
        const double u1 = user_ns();
        const double t1 = wall_ns();
        const double rss1 = status_bytes("VmRSS:");
        execute(out);
        const double t2 = wall_ns();
        execute(out);
        const double t3 = wall_ns();
        Executor().schedule(default_graph(), out);
        const double t4 = wall_ns();
        state.SetIterationTime((t2 - t0) / 1e9);
        const double nodes = static_cast<double>(n);
        state.counters = {{"record_ns", (t1 - t0) / nodes},      {"record_user_ns", (u1 - u0) / nodes},
                          {"execute_ns", (t2 - t1) / nodes},     {"again_ns", (t3 - t2) / nodes},
                          {"walk_ns", (t4 - t3) / nodes},        {"bytes", (rss1 - rss0) / nodes},
                          {"peak_bytes", status_bytes("VmHWM:")}};
    }
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond)->RangeMultiplier(10)->Range(1000, 10'000'000);
}

}  // namespace

BENCHMARK_CAPTURE(graph, chain, false)->Apply(sizes);
BENCHMARK_CAPTURE(graph, tree, true)->Apply(sizes);
BENCHMARK_MAIN();
