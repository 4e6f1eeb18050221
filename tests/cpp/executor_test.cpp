#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "test_util.h"
#include "tests/model/graph.h"

namespace quarnel {
namespace {

using test::Throws;
using U = std::vector<uint64_t>;
using Schedule = std::vector<Node*>;

constexpr const char* CPU_ONLY = "Buffer: only CPU device is implemented";

Tensor pending(const U& dims = {2, 3}, Device device = Device::CPU) {
    return Tensor(Shape(dims), Dtype::FLOAT32, device, false);
}

Schedule schedule_of(const Graph& graph, const Tensor& t) {
    Executor executor;
    executor.schedule(graph, t);
    return executor.order();
}

Node* producer(const Tensor& t) { return default_graph().find(t); }

TEST(ExecutorTest, SchedulesAreDepthFirstPostOrders) {
    const Tensor a = pending(), b = pending(), c = pending(), e = pending();
    const Tensor ab = add(a, b), ce = add(c, e);
    const Tensor left = add(ab, e), right = add(e, ab);
    const Tensor both = add(ab, ce), both_swapped = add(ce, ab);
    const Tensor twice = add(ab, ab);
    const Tensor l = add(ab, a), r = add(ab, b), diamond = add(l, r);  // ab is shared by l and r
    const Tensor q = add(ab, b), s = add(q, ce), t = add(ce, q);       // the earlier input's ancestry first, in full
    const Tensor abq = add(ab, q), qab = add(q, ab), shared = add(abq, qab);

    const struct {
        const char* what;
        Tensor t;
        Schedule expected;
    } table[] = {
        {"leaf", a, {}},
        {"single add", ab, {producer(ab)}},
        {"left ancestry", left, {producer(ab), producer(left)}},
        {"right ancestry", right, {producer(ab), producer(right)}},
        {"two ancestries", both, {producer(ab), producer(ce), producer(both)}},
        {"two ancestries swapped", both_swapped, {producer(ce), producer(ab), producer(both_swapped)}},
        {"c + c", twice, {producer(ab), producer(twice)}},
        {"diamond", diamond, {producer(ab), producer(l), producer(r), producer(diamond)}},
        {"deep left first", s, {producer(ab), producer(q), producer(ce), producer(s)}},
        {"deep right first", t, {producer(ce), producer(ab), producer(q), producer(t)}},
        {"shared ancestry", shared, {producer(ab), producer(q), producer(abq), producer(qab), producer(shared)}},
        {"view of a result", diamond.view({6}), {}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(schedule_of(default_graph(), row.t), row.expected);
    }

    Executor executor;  // a new schedule replaces the old one
    executor.schedule(default_graph(), diamond);
    executor.schedule(default_graph(), left);
    EXPECT_EQ(executor.order(), (Schedule{producer(ab), producer(left)}));
    executor.schedule(default_graph(), a);
    EXPECT_TRUE(executor.order().empty());
}

// Random graphs of up to three inputs per node, some outputs recorded twice
// (which can close cycles): every schedule must be the model's.
TEST(ExecutorTest, RandomGraphsScheduleAsTheModelSays) {
    std::mt19937 rng(7);
    const auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    for (int round = 0; round < 5; ++round) {
        Graph graph;
        model::GraphRecord record;
        std::vector<Tensor> pool = {pending({1}), pending({1}), pending({1})};
        for (int i = 0; i < 150; ++i) {
            std::vector<Tensor> inputs;
            for (size_t k = pick(0, 3); k > 0; --k) {
                // Mostly recent tensors, so that chains get deep.
                const size_t last = pool.size() - 1;
                inputs.push_back(pool[pick(0, 2) != 0 ? last - pick(0, std::min<size_t>(last, 7)) : pick(0, last)]);
            }
            const bool rerecord = pick(0, 19) == 0;
            const Tensor output = rerecord ? pool[pick(0, pool.size() - 1)] : pending({1});
            record.record(graph, "N", std::move(inputs), output);
            if (!rerecord) pool.push_back(output);
        }
        for (const Tensor& t : pool) ASSERT_EQ(schedule_of(graph, t), record.schedule(t.impl().get()));
    }
}

// Graphs past two chunks of nodes, with and without re-recorded outputs,
// which make the graph mend the producers it keeps for the walks. Inputs are
// picked uniformly, which keeps the model's recursion shallow.
TEST(ExecutorTest, LargeGraphsScheduleAsTheModelSays) {
    std::mt19937 rng(11);
    const auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    for (const bool rerecord : {false, true}) {
        SCOPED_TRACE(rerecord ? "outputs recorded again" : "fresh outputs only");
        Graph graph;
        model::GraphRecord record;
        std::vector<Tensor> pool = {pending({1}), pending({1})};
        for (int i = 0; i < 45'000; ++i) {
            std::vector<Tensor> inputs;
            for (size_t k = pick(0, 3); k > 0; --k) inputs.push_back(pool[pick(0, pool.size() - 1)]);
            const bool again = rerecord && pick(0, 99) == 0;
            const Tensor output = again ? pool[pick(0, pool.size() - 1)] : pending({1});
            record.record(graph, "N", std::move(inputs), output);
            if (!again) pool.push_back(output);
        }
        for (int k = 0; k < 40; ++k) {
            const Tensor& t = pool[k < 20 ? pool.size() - 1 - static_cast<size_t>(k) : pick(0, pool.size() - 1)];
            ASSERT_EQ(schedule_of(graph, t), record.schedule(t.impl().get()));
        }
        // visit() with a set of the caller's own walks the same way.
        Executor executor;
        std::unordered_set<Node*> visited;
        executor.visit(graph, graph.find(pool.back()), visited);
        EXPECT_EQ(executor.order(), record.schedule(pool.back().impl().get()));
        EXPECT_EQ(visited.size(), executor.order().size());
    }
}

// A body taken as input before any node produced it: once a later node
// produces it, every walk through its consumers reaches that node.
TEST(ExecutorTest, InputProducedAfterItWasConsumed) {
    Graph graph;
    const Tensor x = pending(), a = pending(), b = pending();
    Node* uses_x = graph.add_node("USES_X", Op::ADD, {x}, a);
    Node* uses_a = graph.add_node("USES_A", Op::ADD, {a, x}, b);
    EXPECT_EQ(schedule_of(graph, b), (Schedule{uses_x, uses_a}));
    Node* makes_x = graph.add_node("MAKES_X", Op::ADD, {}, x);
    EXPECT_EQ(schedule_of(graph, b), (Schedule{makes_x, uses_x, uses_a}));
    const Tensor c = pending();
    Node* uses_b = graph.add_node("USES_B", Op::ADD, {b}, c);
    EXPECT_EQ(schedule_of(graph, c), (Schedule{makes_x, uses_x, uses_a, uses_b}));
}

TEST(ExecutorTest, ExecuteAllocatesExactlyTheAncestry) {
    const Tensor direct = pending();
    execute(direct);
    EXPECT_FALSE(direct.allocated());

    const Tensor a = pending(), b = pending(), e = pending();
    const Tensor inner = add(a, b);
    const Tensor outer = add(inner, e);
    execute(inner);
    EXPECT_TRUE(inner.allocated());
    EXPECT_FALSE(outer.allocated());
    execute(outer);
    EXPECT_TRUE(outer.allocated());
    for (const Tensor& operand : {a, b, e}) EXPECT_FALSE(operand.allocated());

    // Again: the same memory, and the nodes are still in the graph.
    void* inner_data = inner.storage()->data();
    void* outer_data = outer.storage()->data();
    execute(outer);
    EXPECT_EQ(inner.storage()->data(), inner_data);
    EXPECT_EQ(outer.storage()->data(), outer_data);
    EXPECT_EQ(producer(outer)->output.impl(), outer.impl());
    EXPECT_NE(producer(inner), nullptr);

    // A view is a body the graph does not know; its source's execution allocates both.
    const Tensor c = add(a, b);
    const Tensor v = c.view({6});
    execute(v);
    EXPECT_FALSE(v.allocated());
    EXPECT_FALSE(c.allocated());
    execute(c);
    EXPECT_TRUE(v.allocated());
    EXPECT_EQ(v.storage()->data(), c.storage()->data());

    const Tensor empty = add(pending({0, 3}), pending({0, 3}));
    EXPECT_TRUE(empty.allocated());
    execute(empty);
    EXPECT_EQ(empty.storage()->data(), nullptr);
}

// A node before the failing one keeps its memory; from the failing node on
// everything stays pending, and a second run fails the same way.
TEST(ExecutorTest, ResultOffTheCpuFailsAndStaysPending) {
    const Tensor a = pending({2}, Device::CUDA), b = pending({2}, Device::CUDA);
    const Tensor c = add(a, b);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_TRUE(Throws<std::runtime_error>([&] { execute(c); }, CPU_ONLY));
        EXPECT_FALSE(c.allocated());
        EXPECT_FALSE(a.allocated());
    }

    const Tensor first = pending({2}), remote = pending({2}, Device::HIP), last = pending({2});
    Graph& graph = default_graph();
    Node* n1 = graph.add_node("FIRST", Op::ADD, {}, first);
    Node* n2 = graph.add_node("REMOTE", Op::ADD, {first}, remote);
    Node* n3 = graph.add_node("LAST", Op::ADD, {remote}, last);
    ASSERT_EQ(schedule_of(graph, last), (Schedule{n1, n2, n3}));
    EXPECT_TRUE(Throws<std::runtime_error>([&] { execute(last); }, CPU_ONLY));
    EXPECT_TRUE(first.allocated());
    EXPECT_FALSE(remote.allocated());
    EXPECT_FALSE(last.allocated());
    void* data = first.storage()->data();
    Executor executor;
    executor.schedule(graph, last);
    EXPECT_TRUE(Throws<std::runtime_error>([&] { executor.run(); }, CPU_ONLY));
    EXPECT_EQ(first.storage()->data(), data);
    EXPECT_FALSE(last.allocated());
}

TEST(ExecutorTest, ExecuteOneNodeAndRunTwice) {
    Graph graph;
    Tensor gone = pending();
    const Tensor kept = std::move(gone);
    Node* empty = graph.add_node("EMPTY", Op::ADD, {kept}, std::move(gone));  // NOLINT(bugprone-use-after-move)
    Executor executor;
    EXPECT_NO_THROW(executor.execute(empty));  // no output body: nothing to do
    EXPECT_FALSE(kept.allocated());

    const Tensor out = pending(), next = pending();
    executor.execute(graph.add_node("N", Op::ADD, {kept}, out));
    EXPECT_TRUE(out.allocated());
    EXPECT_FALSE(kept.allocated());
    graph.add_node("M", Op::ADD, {out}, next);
    executor.schedule(graph, next);
    executor.run();
    executor.run();  // the schedule is left as it was
    EXPECT_TRUE(next.allocated());
    EXPECT_EQ(executor.order().size(), 2U);
}

// Nothing reads a node's id or name back: rewriting them, to values of all
// kinds, changes no lookup and no schedule, and executing still works.
TEST(ExecutorTest, RewrittenIdsAndNamesChangeNothing) {
    for (const int32_t id : {-1, INT32_MAX, INT32_MIN, 0, 1}) {
        SCOPED_TRACE(id);
        const Tensor a = pending(), b = pending();
        const Tensor c = add(a, b), d = add(c, a), e = add(d, c);
        const Schedule before = schedule_of(default_graph(), e);
        ASSERT_EQ(before.size(), 3U);
        for (Node* node : before) {
            node->id = id;
            node->name = "REWRITTEN";
        }
        EXPECT_EQ(producer(d), before[1]);
        EXPECT_EQ(schedule_of(default_graph(), e), before);
        std::unordered_set<Node*> visited;
        Executor executor;
        executor.visit(default_graph(), before.back(), visited);
        EXPECT_EQ(executor.order(), before);
        execute(d);
        EXPECT_TRUE(c.allocated() && d.allocated());
        EXPECT_FALSE(e.allocated());
        execute(e);
        EXPECT_TRUE(e.allocated());
    }
}

// Deep enough that a walk recursing once per link could overflow the stack.
TEST(ExecutorTest, MillionNodeChain) { test::run_chain(1'000'000); }

}  // namespace
}  // namespace quarnel
