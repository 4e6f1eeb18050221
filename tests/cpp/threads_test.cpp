// Threads using shared tensors the way the reference allows: handles copied
// and dropped anywhere, views, reshapes, contiguous copies and metadata reads
// of shared allocated tensors on every thread at once, while lazy adds and
// execute are serialised by the caller's lock. Pending results are dropped
// on threads other than the one that made them while the arena carves more:
// the arena gives nothing back, so dropping one must write nothing that
// recording reads. Built and run under ThreadSanitizer by CI.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "graph/pending.h"
#include "test_util.h"

namespace quarnel {
namespace {

using test::dims_of;
using U = std::vector<uint64_t>;

constexpr int ADDERS = 2;
constexpr int READERS = 2;
constexpr int ROUNDS = 5000;

// Shared, allocated, never executed and never allocated again: every thread
// may read them without a lock.
struct Shared {
    Tensor ones = Tensor::ones(Shape(U{4, 6}), Dtype::INT64, Device::CPU);
    Tensor counting = make_counting();
    // counting's storage walked column-major: every copy of it must reorder.
    Tensor transposed{counting.storage(), Shape(U{6, 4}), Strides(U{1, 6}), 0UL};
    Tensor window{counting.storage(), Shape(U{2, 3}), Strides(U{6, 2}), 7UL};

    static Tensor make_counting() {
        Tensor t(Shape(U{4, 6}), Dtype::INT32, Device::CPU);
        auto* values = static_cast<int32_t*>(t.storage()->data());
        for (int i = 0; i < 24; ++i) values[i] = i;
        return t;
    }
};

std::vector<int32_t> ints_of(const Tensor& t) {
    std::vector<int32_t> out(static_cast<size_t>(t.numel()));
    if (!out.empty())
        std::memcpy(out.data(), static_cast<const int32_t*>(t.storage()->data()) + t.offset(), out.size() * 4);
    return out;
}

// Results made on one thread and dropped on another.
class Mailbox {
public:
    void post(std::vector<Tensor> results) {
        std::lock_guard<std::mutex> hold(lock_);
        for (Tensor& t : results) box_.push_back(std::move(t));
    }
    std::vector<Tensor> take() {
        std::lock_guard<std::mutex> hold(lock_);
        return std::exchange(box_, {});
    }

private:
    std::mutex lock_;
    std::vector<Tensor> box_;
};

// Tensors shared with other threads, published under a lock of their own.
class Pool {
public:
    explicit Pool(std::vector<Tensor> tensors) : tensors_(std::move(tensors)) {}
    void put(size_t i, Tensor t) {
        std::lock_guard<std::mutex> hold(lock_);
        tensors_[i % tensors_.size()] = std::move(t);
    }
    Tensor get(size_t i) {
        std::lock_guard<std::mutex> hold(lock_);
        return tensors_[i % tensors_.size()];
    }

private:
    std::mutex lock_;
    std::vector<Tensor> tensors_;
};

// Readers never take the graph's lock: the adders record, as operands, the
// very bodies the readers are copying, viewing and reading, which the graph
// only reads.
TEST(ThreadsTest, SharedTensorsUsedFromSeveralThreads) {
    const Shared shared;
    std::mutex graph_lock;  // serialises add and execute, as the reference asks of C++ callers
    Pool pool({shared.ones, shared.ones.view({4, 6}), shared.ones.reshape({4, -1})});
    std::array<Mailbox, ADDERS> mail;
    std::atomic<int> wrong{0};
    std::atomic<int> adders_left{ADDERS};
    std::atomic<int> executed{0};
    const std::vector<int32_t> transposed_values = {0, 6, 12, 18, 1, 7,  13, 19, 2, 8,  14, 20,
                                                    3, 9, 15, 21, 4, 10, 16, 22, 5, 11, 17, 23};
    const std::vector<int32_t> window_values = {7, 9, 11, 13, 15, 17};

    auto read = [&](size_t round) {
        // Handles copied and dropped, metadata read.
        const Tensor t = pool.get(round);
        if (t.numel() != 24 || !t.allocated() || !t.is_contiguous() || t.dtype() != Dtype::INT64 ||
            std::string(to_string(t.device())) != "cpu" || t.storage()->nbytes() != 192) {
            ++wrong;
        }
        // Views, reshapes and contiguous copies of shared tensors.
        const Tensor view = t.view({3, -1});
        const Tensor again = t.reshape({4, 6});
        const Tensor flat = shared.transposed.reshape({-1});
        const Tensor packed = shared.window.contiguous();
        // Copies of the body and of its layout, while the graph may be
        // recording the body as an operand.
        const TensorImpl body = t->contiguous();
        const TensorImpl copied = copy_contiguous_impl(*t);
        const Tensor same_layout(t.storage(), t.shape(), t.strides(), t.offset());
        if (dims_of(body.shape()) != U{4, 6} || dims_of(copied.shape()) != U{4, 6} ||
            dims_of(same_layout.shape()) != U{4, 6} || body.storage() != t.storage() ||
            std::memcmp(copied.storage()->data(), t.storage()->data(), 192) != 0) {
            ++wrong;
        }
        if (dims_of(view.shape()) != U{3, 8} || view.storage() != t.storage() || again.storage() != t.storage() ||
            t.contiguous().impl() != t.impl() || ints_of(flat) != transposed_values ||
            ints_of(packed) != window_values || shared.transposed.contiguous().storage() == shared.counting.storage()) {
            ++wrong;
        }
    };
    auto reader = [&] {
        for (size_t round = 0; adders_left.load() > 0; ++round) read(round);
    };
    auto adder = [&](int me) {
        std::vector<Tensor> kept;
        for (int round = 0; round < ROUNDS; ++round) {
            read(static_cast<size_t>(round));
            // A new body over the shared storage, published before the graph
            // first sees it.
            const Tensor fresh = shared.ones.view({4, 6});
            pool.put(static_cast<size_t>(round), fresh);
            {
                std::lock_guard<std::mutex> hold(graph_lock);
                Tensor sum = add(fresh, pool.get(static_cast<size_t>(round) + 1).view({4, 6}));
                if (!kept.empty() && round % 5 == 0) sum = add(kept.back(), sum);
                if (round % 7 == 0) {
                    execute(sum);
                    if (!sum.allocated()) ++wrong;
                    ++executed;
                }
                kept.push_back(std::move(sum));
            }
            // Every so often the results go to the other adder, which drops
            // them (and what it was sent) outside the lock.
            if (kept.size() >= 16) {
                mail[static_cast<size_t>((me + 1) % ADDERS)].post(std::move(kept));
                kept.clear();
                const std::vector<Tensor> received = mail[static_cast<size_t>(me)].take();
                for (const Tensor& t : received) {
                    if (dims_of(t.shape()) != U{4, 6} || t.dtype() != Dtype::INT64) ++wrong;
                }
            }
        }
        --adders_left;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < ADDERS; ++i) threads.emplace_back(adder, i);
    for (int i = 0; i < READERS; ++i) threads.emplace_back(reader);
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(executed.load(), ADDERS * ((ROUNDS + 6) / 7));
    // The shared tensors are as they were.
    EXPECT_EQ(ints_of(shared.counting), (std::vector<int32_t>{0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                              12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23}));
    EXPECT_EQ(default_graph().find(shared.ones), nullptr);
}

// Pending results outliving their graph, dropped on another thread while
// more results are carved from the arena under the lock.
TEST(ThreadsTest, PendingResultsDroppedOnAnotherThread) {
    const Tensor a = Tensor::zeros(Shape(U{8}), Dtype::FLOAT32, Device::CPU);
    constexpr int GRAPHS = 200, RESULTS = 256;
    std::mutex graph_lock;
    Mailbox mail;
    std::atomic<bool> done{false};
    size_t dropped = 0;
    std::thread dropper([&] {
        while (!done.load()) dropped += mail.take().size();
        dropped += mail.take().size();
    });
    for (int round = 0; round < GRAPHS; ++round) {
        std::vector<Tensor> results;
        {
            std::lock_guard<std::mutex> hold(graph_lock);
            Graph graph;
            for (int i = 0; i < RESULTS; ++i) {
                Tensor result = detail::make_pending(a.shape(), a.dtype(), a.device());
                graph.add_node("ADD", Op::ADD, {a, a}, result);
                results.push_back(std::move(result));
            }
        }
        mail.post(std::move(results));
    }
    done = true;
    dropper.join();
    EXPECT_EQ(dropped, size_t{GRAPHS} * RESULTS);
}

// Two threads, each recording into and finding in a graph of its own, over
// the same tensors, and a third recording lazy adds of them in the
// process-wide graph: each round all take a tensor that no graph has seen
// yet, at about the same time. The two graphs take it as an operand beside a
// result of the process-wide graph, and record as output a fresh tensor, one
// the caller still holds, or one that the other graph records too, in turn
// (the graph handles each differently). A graph writes nothing but its own
// record, so the graphs share nothing but what they read.
TEST(ThreadsTest, GraphsOfTheirOwnShareTensors) {
    constexpr int NODES = 402;
    std::vector<Tensor> unseen, outputs;
    for (int i = 0; i < NODES; ++i) {
        unseen.push_back(Tensor::ones(Shape(U{4}), Dtype::FLOAT32, Device::CPU));
        outputs.emplace_back(Shape(U{4}), Dtype::FLOAT32, Device::CPU, false);
    }
    const Tensor linked = add(unseen[0].view({4}), unseen[1].view({4}));
    // The threads keep in step through relaxed operations only, which order
    // none of their other memory accesses: a race between them shows under
    // ThreadSanitizer instead of hiding behind the step's synchronisation.
    std::atomic<int> arrived{0};
    std::atomic<int> wrong{0};
    const auto step = [&](int i) {
        arrived.fetch_add(1, std::memory_order_relaxed);
        while (arrived.load(std::memory_order_relaxed) < 3 * (i + 1)) {
        }
    };
    auto record = [&] {
        Graph graph;
        Tensor last = linked;
        for (int i = 0; i < NODES; ++i) {
            const Tensor& operand = unseen[static_cast<size_t>(i)];
            Tensor out =
                i % 3 == 2 ? outputs[static_cast<size_t>(i)] : Tensor(Shape(U{4}), Dtype::FLOAT32, Device::CPU, false);
            step(i);
            Node* node = i % 3 == 0 ? graph.add_node("ADD", Op::ADD, {last, operand, linked}, std::move(out))
                                    : graph.add_node("ADD", Op::ADD, {operand, last}, out);
            const Tensor kept = node->output;
            wrong += graph.find(kept) != node || graph.find(operand) != nullptr || graph.find(linked) != nullptr;
            last = kept;
        }
        Executor executor;
        executor.schedule(graph, last);
        wrong += executor.order().size() != NODES;
    };
    auto lazy = [&] {
        for (int i = 0; i < NODES; ++i) {
            const Tensor& operand = unseen[static_cast<size_t>(i)];
            step(i);
            const Tensor sum = add(operand, linked);
            wrong += default_graph().find(sum) == nullptr || default_graph().find(operand) != nullptr;
        }
    };
    std::thread first(record), second(record), third(lazy);
    first.join();
    second.join();
    third.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(default_graph().find(unseen[0]), nullptr);
    EXPECT_NE(default_graph().find(linked), nullptr);
    EXPECT_EQ(default_graph().find(outputs[2]), nullptr);
}

// Two threads scheduling one graph at once while nothing records: a walk
// keeps its marks to itself, so each gets the whole schedule, in order.
TEST(ThreadsTest, ConcurrentSchedulesOfOneGraph) {
    Graph graph;
    const Tensor leaf(Shape(U{1}), Dtype::FLOAT32, Device::CPU, false);
    Tensor last = leaf;
    for (int i = 0; i < 20'000; ++i) {
        Tensor out(Shape(U{1}), Dtype::FLOAT32, Device::CPU, false);
        graph.add_node("ADD", Op::ADD, {last, i % 3 == 0 ? leaf : last}, out);
        last = std::move(out);
    }
    Executor reference;
    reference.schedule(graph, last);
    ASSERT_EQ(reference.order().size(), 20'000U);
    std::atomic<int> wrong{0};
    auto schedule = [&] {
        Executor executor;
        for (int round = 0; round < 50; ++round) {
            executor.schedule(graph, last);
            wrong += executor.order() != reference.order();
        }
    };
    std::thread first(schedule), second(schedule);
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quarnel
