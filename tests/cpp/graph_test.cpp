#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::dims_of;
using test::probe;
using U = std::vector<uint64_t>;

Tensor pending(const U& dims) { return Tensor(Shape(dims), Dtype::FLOAT32, Device::CPU, false); }

TEST(GraphTest, FindsProducersByBody) {
    Graph graph;
    const Tensor a(Shape(U{2, 3}), Dtype::FLOAT32, Device::CPU);
    const Tensor b = Tensor::ones(Shape(U{2, 3}), Dtype::FLOAT32, Device::CPU);
    const Tensor c = pending({2, 3});
    EXPECT_EQ(graph.find(c), nullptr);

    Node* node = graph.add_node("ADD", Op::ADD, {a, b}, c);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->id, 0);
    EXPECT_EQ(node->name, "ADD");
    EXPECT_EQ(node->op, Op::ADD);
    ASSERT_EQ(node->inputs.size(), 2U);
    EXPECT_EQ(node->inputs[0].impl(), a.impl());
    EXPECT_EQ(node->inputs[1].impl(), b.impl());
    EXPECT_EQ(node->output.impl(), c.impl());

    const Tensor copy = c;  // NOLINT(performance-unnecessary-copy-initialization): a copy is the point
    const struct {
        const char* what;
        Tensor t;
        Node* expected;
    } table[] = {
        {"result", c, node},
        {"copy of the handle", copy, node},
        {"contiguous() of the result", c.contiguous(), node},  // the same body
        {"operand made directly", a, nullptr},
        {"operand made by ones", b, nullptr},
        {"zeros", Tensor::zeros(Shape(U{2, 3}), Dtype::FLOAT32, Device::CPU), nullptr},
        {"view", c.view({6}), nullptr},
        {"view with the same shape", c.view({2, 3}), nullptr},
        {"reshape", c.reshape({3, 2}), nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(graph.find(row.t), row.expected);
    }
}

TEST(GraphTest, ContiguousCopyOfAnOutputHasNoProducer) {
    Graph graph;
    auto storage = std::make_shared<Storage>(6, Dtype::FLOAT32, Device::CPU);
    const Tensor strided(storage, Shape(U{2, 2}), Strides(U{3, 1}), 0UL);
    Node* node = graph.add_node("X", Op::ADD, {}, strided);
    EXPECT_EQ(graph.find(strided), node);
    EXPECT_EQ(graph.find(strided.contiguous()), nullptr);
}

TEST(GraphTest, IdsFollowRecordingOrder) {
    Graph graph;
    std::vector<Node*> nodes;
    for (int i = 0; i < 10; ++i) nodes.push_back(graph.add_node("N", Op::ADD, {}, pending({1})));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(nodes[static_cast<size_t>(i)]->id, i);
        EXPECT_EQ(graph.find(nodes[static_cast<size_t>(i)]->output), nodes[static_cast<size_t>(i)]);
    }
}

TEST(GraphTest, LaterNodeWithTheSameOutputBecomesItsProducer) {
    Graph graph;
    const Tensor out = pending({2});
    const Tensor in = pending({2});
    Node* first = graph.add_node("FIRST", Op::ADD, {in}, out);
    Node* second = graph.add_node("SECOND", Op::ADD, {}, out);
    EXPECT_EQ(graph.find(out), second);
    EXPECT_EQ(second->id, first->id + 1);
    // The earlier node stays and keeps its tensors.
    EXPECT_EQ(first->output.impl(), out.impl());
    EXPECT_EQ(first->inputs[0].impl(), in.impl());
}

TEST(GraphTest, EmptyOutputIsRecordedUnindexed) {
    Graph graph;
    Tensor gone = pending({3});
    const Tensor kept = std::move(gone);
    Node* empty = graph.add_node("EMPTY", Op::ADD, {kept}, std::move(gone));  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(empty->id, 0);
    EXPECT_EQ(empty->output.impl(), nullptr);
    EXPECT_EQ(graph.find(empty->output), nullptr);
    EXPECT_EQ(graph.find(kept), nullptr);
    EXPECT_EQ(graph.add_node("NEXT", Op::ADD, {}, pending({1}))->id, 1);  // the list grew
}

// A producer goes with the body, not its value: copying a body makes a new
// tensor with none, while assigning into a recorded body keeps it the node's
// output.
TEST(GraphTest, ProducerFollowsTheBodyNotItsValue) {
    Graph graph;
    const Tensor out = pending({2, 3});
    Node* node = graph.add_node("N", Op::ADD, {}, out);
    const Tensor copied(std::make_shared<TensorImpl>(*out));
    EXPECT_EQ(graph.find(copied), nullptr);
    *out = *Tensor::zeros(Shape(U{4}), Dtype::INT32, Device::CPU);
    EXPECT_EQ(graph.find(out), node);
    EXPECT_EQ(dims_of(out.shape()), U{4});  // the assignment itself took effect
    EXPECT_EQ(graph.find(Tensor(std::make_shared<TensorImpl>(*out))), nullptr);
}

// One body recorded by several graphs: each finds its own latest producer,
// also after another graph has died.
TEST(GraphTest, BodiesSharedBetweenGraphs) {
    const Tensor x = pending({1}), y = pending({1});
    auto first = std::make_unique<Graph>();
    Graph second;
    Node* f0 = first->add_node("F0", Op::ADD, {}, x);
    Node* s0 = second.add_node("S0", Op::ADD, {y}, x);
    EXPECT_EQ(first->find(x), f0);
    EXPECT_EQ(second.find(x), s0);
    Node* s1 = second.add_node("S1", Op::ADD, {}, x);
    EXPECT_EQ(first->find(x), f0);
    EXPECT_EQ(second.find(x), s1);
    Node* f1 = first->add_node("F1", Op::ADD, {}, x);
    Node* s2 = second.add_node("S2", Op::ADD, {}, y);
    EXPECT_EQ(first->find(x), f1);
    EXPECT_EQ(second.find(x), s1);
    EXPECT_EQ(second.find(y), s2);
    EXPECT_EQ(first->find(y), nullptr);

    first.reset();
    EXPECT_EQ(second.find(x), s1);
    // A new graph, likely where the old one was, knows nothing of x.
    first = std::make_unique<Graph>();
    EXPECT_EQ(first->find(x), nullptr);
    first->add_node("A", Op::ADD, {}, pending({1}));
    first->add_node("B", Op::ADD, {}, pending({1}));
    EXPECT_EQ(first->find(x), nullptr);
    Node* again = first->add_node("C", Op::ADD, {}, x);
    EXPECT_EQ(first->find(x), again);
    EXPECT_EQ(second.find(x), s1);
}

// Nodes live in fixed chunks: growing across several chunk boundaries moves
// none of them, and every output still finds its node.
TEST(GraphTest, NodesStayPutAcrossChunks) {
    Graph graph;
    constexpr int COUNT = 50'000;  // past two chunks
    std::vector<Node*> nodes;
    std::vector<Tensor> outputs;
    nodes.reserve(COUNT);
    outputs.reserve(COUNT);
    for (int i = 0; i < COUNT; ++i) {
        outputs.push_back(pending({1}));
        std::vector<Tensor> inputs;
        if (i > 0) inputs.push_back(outputs[static_cast<size_t>(i) - 1]);
        nodes.push_back(graph.add_node("N", Op::ADD, std::move(inputs), outputs.back()));
    }
    int wrong = 0;
    for (int i = 0; i < COUNT; ++i) {
        const auto k = static_cast<size_t>(i);
        wrong += nodes[k]->id != i || graph.find(outputs[k]) != nodes[k] ||
                 nodes[k]->output.impl() != outputs[k].impl() ||
                 (i > 0 && graph.find(nodes[k]->inputs[0]) != nodes[k - 1]);
    }
    EXPECT_EQ(wrong, 0);
}

TEST(GraphTest, MillionBodies) {
    Graph graph;
    constexpr size_t COUNT = 1'000'000;
    std::vector<Tensor> outputs;
    outputs.reserve(COUNT);
    for (size_t i = 0; i < COUNT; ++i) {
        outputs.push_back(pending({1}));
        graph.add_node("N", Op::ADD, {}, outputs.back());
    }
    size_t wrong = 0;
    for (size_t i = 0; i < COUNT; i += 7)
        wrong += graph.find(outputs[i]) == nullptr || graph.find(outputs[i])->id != static_cast<int32_t>(i);
    EXPECT_EQ(wrong, 0U);
    for (int i = 0; i < 1000; ++i) wrong += graph.find(pending({1})) != nullptr;
    EXPECT_EQ(wrong, 0U);
}

// A lazy result recorded again, in the process-wide graph or in another,
// is found as each graph's own latest output; neither sees the other's.
TEST(GraphTest, LazyResultsRecordedAgain) {
    const Tensor a = pending({2});
    const Tensor c = add(a, a);
    Node* made = default_graph().find(c);
    ASSERT_NE(made, nullptr);
    Graph other;
    EXPECT_EQ(other.find(c), nullptr);
    Node* there = other.add_node("OTHER", Op::ADD, {c}, c);
    EXPECT_EQ(other.find(c), there);
    EXPECT_EQ(default_graph().find(c), made);
    Node* again = default_graph().add_node("AGAIN", Op::ADD, {a}, c);
    EXPECT_EQ(default_graph().find(c), again);
    EXPECT_EQ(other.find(c), there);
    const Tensor sum = add(a, c);
    Executor executor;
    executor.schedule(default_graph(), sum);
    EXPECT_EQ(executor.order(), (std::vector<Node*>{again, default_graph().find(sum)}));
}

TEST(GraphTest, DefaultGraphIsOneObject) {
    EXPECT_EQ(&default_graph(), &default_graph());
    Node* before = probe();
    Node* after = probe();
    EXPECT_EQ(after->id, before->id + 1);
    EXPECT_EQ(default_graph().find(after->output), after);
}

}  // namespace
}  // namespace quarnel
