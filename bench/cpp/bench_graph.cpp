// Graph scaling: records N lazy adds in the process-wide graph of a fresh
// process, executes the last result, executes it again, and times a walk on
// its own; prints one JSON line.
//
//   quarnel_bench_graph chain|tree N [SETTLE_BYTES]
//
// chain: t = t + b, N times, so the graph is one path N nodes deep.
// tree:  a balanced binary tree of N adds over one leaf, log2(N) deep and
//        about N/2 nodes wide at the bottom.
// Bytes are the growth of the resident set (everything the adds keep: the
// graph's chunks, the pending bodies and storages, the heap blocks), and the
// peak is the process's high-water mark, as the kernel reports them.
//
// SETTLE_BYTES: touches and frees that much memory first. On a virtual
// machine the host may back guest memory only when it is first touched,
// which costs several times the guest's own page fault; memory the process
// has just freed comes back already backed. Settling measures the library
// rather than the host's history.
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <string>

#include "bench/cpp/timing.h"
#include "quarnel.h"

using namespace quarnel;

namespace {

Tensor build_tree(const Tensor& leaf, uint64_t adds) {
    if (adds == 0) return leaf;
    const uint64_t left = (adds - 1) / 2;
    return add(build_tree(leaf, left), build_tree(leaf, adds - 1 - left));
}

// A field of /proc/self/status in kB, as bytes.
double status_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, n, field) == 0) return std::strtod(line.c_str() + n + 1, nullptr) * 1024.0;
    }
    return 0.0;
}

void settle(size_t bytes) {
    if (bytes == 0) return;
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return;
    for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char*>(block)[i] = 1;
    munmap(block, bytes);
    // The peak reported is the point's own, not the settling's.
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Bytes of this process's memory on transparent huge pages.
double huge_bytes() {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.compare(0, 14, "AnonHugePages:") == 0) return std::strtod(line.c_str() + 14, nullptr) * 1024.0;
    }
    return 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s chain|tree N [SETTLE_BYTES]\n", argv[0]);
        return 2;
    }
    const std::string shape = argv[1];
    const uint64_t n = std::strtoull(argv[2], nullptr, 10);
    if ((shape != "chain" && shape != "tree") || n == 0) {
        std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
        return 2;
    }
    const Tensor a(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    const Tensor b(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    (void)default_graph();  // created outside the measurement
    settle(argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 0);

    const double rss0 = status_bytes("VmRSS:");
    const int64_t t0 = bench::now_ns();
    Tensor out = a;
    if (shape == "chain") {
        for (uint64_t i = 0; i < n; ++i) out = add(out, b);
    } else {
        out = build_tree(a, n);
    }
    const int64_t t1 = bench::now_ns();
    const double rss1 = status_bytes("VmRSS:");

    execute(out);
    const int64_t t2 = bench::now_ns();
    const double rss2 = status_bytes("VmRSS:");
    if (!out.allocated()) {
        std::fprintf(stderr, "%s: the executed result is not allocated\n", argv[0]);
        return 1;
    }
    // Everything is allocated now: a second execute walks and finds each
    // output allocated.
    execute(out);
    const int64_t t3 = bench::now_ns();
    Executor walker;
    walker.schedule(default_graph(), out);
    const int64_t t4 = bench::now_ns();
    if (walker.order().size() != n) {
        std::fprintf(stderr, "%s: the schedule has %zu nodes, not %llu\n", argv[0], walker.order().size(),
                     static_cast<unsigned long long>(n));
        return 1;
    }

    const double nodes = static_cast<double>(n);
    bench::Json("graph").str("shape", shape).num("n", nodes).num("settled_bytes", argc == 4 ? std::strtod(argv[3], nullptr) : 0.0)
        .num("record_ns_per_node", static_cast<double>(t1 - t0) / nodes)
        .num("record_bytes_per_node", (rss1 - rss0) / nodes)
        .num("execute_ns_per_node", static_cast<double>(t2 - t1) / nodes)
        .num("execute_bytes_per_node", (rss2 - rss1) / nodes)
        .num("rerun_ns_per_node", static_cast<double>(t3 - t2) / nodes)
        .num("walk_ns_per_node", static_cast<double>(t4 - t3) / nodes)
        .num("record_execute_s", static_cast<double>(t2 - t0) / 1e9)
        .num("peak_bytes", status_bytes("VmHWM:"))
        .num("huge_page_bytes", huge_bytes())
        .print();
    // Tearing down millions of nodes is not what is measured here.
    std::fflush(stdout);
    std::_Exit(0);
}
