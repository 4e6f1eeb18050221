#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "test_util.h"

namespace quarnel {
namespace {

using test::probe;
using U = std::vector<uint64_t>;

Tensor pending(U dims) { return Tensor(Shape(std::move(dims)), Dtype::FLOAT32, Device::CPU, false); }

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
    const struct { const char* what; Tensor t; Node* expected; } table[] = {
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

TEST(GraphTest, DefaultGraphIsOneObject) {
    EXPECT_EQ(&default_graph(), &default_graph());
    Node* before = probe();
    Node* after = probe();
    EXPECT_EQ(after->id, before->id + 1);
    EXPECT_EQ(default_graph().find(after->output), after);
}

}  // namespace
}  // namespace quarnel
