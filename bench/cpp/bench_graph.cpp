// Graph scaling: records N lazy adds in the process-wide graph of a fresh
// process, executes the last result, executes it again, and times a walk on
// its own; prints one JSON line. Each phase is timed on the wall clock and in
// the process's user and system CPU time: page faults on fresh memory, which
// a virtual machine's host makes costly at times, land in the system time.
// It uses nothing but the library's public interface, so bench/baseline/
// builds it against another commit's library too.
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
#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "quarnel.h"

using namespace quarnel;

namespace {

// Wall-clock, user and system time, in ns.
struct Clock {
    int64_t wall, user, sys;
    static Clock now() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const auto ns = [](const timeval& t) { return int64_t{t.tv_sec} * 1'000'000'000 + int64_t{t.tv_usec} * 1000; };
        const auto wall = std::chrono::steady_clock::now().time_since_epoch();
        return {std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count(), ns(usage.ru_utime),
                ns(usage.ru_stime)};
    }
};

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
    const Clock t0 = Clock::now();
    Tensor out = a;
    if (shape == "chain") {
        for (uint64_t i = 0; i < n; ++i) out = add(out, b);
    } else {
        out = build_tree(a, n);
    }
    const Clock t1 = Clock::now();
    const double rss1 = status_bytes("VmRSS:");

    execute(out);
    const Clock t2 = Clock::now();
    const double rss2 = status_bytes("VmRSS:");
    if (!out.allocated()) {
        std::fprintf(stderr, "%s: the executed result is not allocated\n", argv[0]);
        return 1;
    }
    // Everything is allocated now: a second execute walks and finds each
    // output allocated.
    execute(out);
    const Clock t3 = Clock::now();
    Executor walker;
    walker.schedule(default_graph(), out);
    const Clock t4 = Clock::now();
    if (walker.order().size() != n) {
        std::fprintf(stderr, "%s: the schedule has %zu nodes, not %llu\n", argv[0], walker.order().size(),
                     static_cast<unsigned long long>(n));
        return 1;
    }

    const double nodes = static_cast<double>(n);
    const auto per_node = [nodes](int64_t from, int64_t to) { return static_cast<double>(to - from) / nodes; };
    std::printf("{\"kind\": \"graph\", \"shape\": \"%s\", \"n\": %.0f, \"settled_bytes\": %.0f", shape.c_str(), nodes,
                argc == 4 ? std::strtod(argv[3], nullptr) : 0.0);
    const Clock phases[][2] = {{t0, t1}, {t1, t2}, {t2, t3}, {t3, t4}};
    const char* names[] = {"record", "execute", "rerun", "walk"};
    for (int i = 0; i < 4; ++i) {
        const Clock& from = phases[i][0];
        const Clock& to = phases[i][1];
        std::printf(", \"%s_ns_per_node\": %.6g, \"%s_user_ns_per_node\": %.6g, \"%s_sys_ns_per_node\": %.6g", names[i],
                    per_node(from.wall, to.wall), names[i], per_node(from.user, to.user), names[i],
                    per_node(from.sys, to.sys));
    }
    std::printf(", \"record_bytes_per_node\": %.6g, \"execute_bytes_per_node\": %.6g, \"record_execute_s\": %.6g"
                ", \"peak_bytes\": %.0f, \"huge_page_bytes\": %.0f}\n",
                (rss1 - rss0) / nodes, (rss2 - rss1) / nodes, static_cast<double>(t2.wall - t0.wall) / 1e9,
                status_bytes("VmHWM:"), huge_bytes());
    // Tearing down millions of nodes is not what is measured here.
    std::fflush(stdout);
    std::_Exit(0);
}
