// Graph scaling: record N lazy adds in the process-wide graph, then execute
// the last result, and report time and heap bytes per node.
//
//   quarnel_bench_graph chain|tree N [REPS] [--warm-heap]
//
// chain: t = t + b, N times, so the graph is one path N nodes deep.
// tree:  a balanced binary tree of N adds over one leaf, log2(N) deep and
//        about N/2 nodes wide at the bottom.
// Each repetition records a fresh graph of N nodes in the same process (the
// graph only grows); the medians over repetitions are printed as JSON.
// The graph keeps every node, so recording touches new memory all the time;
// --warm-heap has the pages faulted in beforehand, which leaves the cost of
// the recording itself.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/cpp/timing.h"
#include "quarnel.h"

using namespace quarnel;

namespace {

Tensor build_tree(const Tensor& leaf, uint64_t adds) {
    if (adds == 0) return leaf;
    const uint64_t left = (adds - 1) / 2;
    return add(build_tree(leaf, left), build_tree(leaf, adds - 1 - left));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s chain|tree N [REPS]\n", argv[0]);
        return 2;
    }
    const std::string shape = argv[1];
    const uint64_t n = std::strtoull(argv[2], nullptr, 10);
    const int reps = argc > 3 ? std::atoi(argv[3]) : 1;
    const bool warm_heap = argc > 4 && std::string(argv[4]) == "--warm-heap";
    if ((shape != "chain" && shape != "tree") || n == 0 || reps < 1) {
        std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
        return 2;
    }

    if (warm_heap) {
        // Freed memory stays in the heap with its pages present, enough for
        // every repetition's nodes and results (under 600 bytes a node).
        bench::warm_malloc();
        const size_t bytes = static_cast<size_t>(reps) * n * 600;
        void* block = std::malloc(bytes);
        if (block == nullptr) return 1;
        std::memset(block, 1, bytes);
        bench::keep(block);
        std::free(block);
    }
    const Tensor a(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    const Tensor b(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    (void)default_graph();  // created outside the measurement

    std::vector<double> record_ns, record_bytes, exec_ns, exec_bytes, rerun_ns;
    for (int r = 0; r < reps; ++r) {
        size_t h0 = bench::heap_in_use();
        int64_t t0 = bench::now_ns();
        Tensor out = a;
        if (shape == "chain") {
            for (uint64_t i = 0; i < n; ++i) out = add(out, b);
        } else {
            out = build_tree(a, n);
        }
        int64_t t1 = bench::now_ns();
        size_t h1 = bench::heap_in_use();

        execute(out);
        int64_t t2 = bench::now_ns();
        size_t h2 = bench::heap_in_use();
        if (!out.allocated()) {
            std::fprintf(stderr, "%s: the executed result is not allocated\n", argv[0]);
            return 1;
        }
        // Everything is allocated now: a second execute only walks the graph.
        execute(out);
        int64_t t3 = bench::now_ns();

        record_ns.push_back(static_cast<double>(t1 - t0));
        record_bytes.push_back(static_cast<double>(h1) - static_cast<double>(h0));
        exec_ns.push_back(static_cast<double>(t2 - t1));
        exec_bytes.push_back(static_cast<double>(h2) - static_cast<double>(h1));
        rerun_ns.push_back(static_cast<double>(t3 - t2));
    }
    const double nodes = static_cast<double>(n);
    bench::Json("graph").str("shape", shape).str("heap", warm_heap ? "warm" : "default").num("n", nodes)
        .num("reps", reps)
        .num("record_ns_per_node", bench::median(record_ns) / nodes)
        .num("record_bytes_per_node", bench::median(record_bytes) / nodes)
        .num("execute_ns_per_node", bench::median(exec_ns) / nodes)
        .num("execute_bytes_per_node", bench::median(exec_bytes) / nodes)
        .num("rerun_ns_per_node", bench::median(rerun_ns) / nodes)
        .print();
    // Tearing down millions of nodes is not what is measured here.
    std::fflush(stdout);
    std::_Exit(0);
}
