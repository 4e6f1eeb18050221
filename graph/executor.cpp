#include "graph/executor.h"

namespace quarnel {

void Executor::visit(const Graph& graph, Node* node, std::unordered_set<Node*>& visited) {
    if (!visited.insert(node).second) return;
    struct Frame {
        Node* node;
        size_t next_input;
    };
    std::vector<Frame> stack{{node, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_input < top.node->inputs.size()) {
            Node* producer = graph.find(top.node->inputs[top.next_input++]);
            if (producer != nullptr && visited.insert(producer).second) stack.push_back({producer, 0});
        } else {
            order_.push_back(top.node);
            stack.pop_back();
        }
    }
}

void Executor::schedule(const Graph& graph, const Tensor& t) {
    order_.clear();
    Node* producer = graph.find(t);
    if (producer == nullptr) return;
    std::unordered_set<Node*> visited;
    visit(graph, producer, visited);
}

void Executor::execute(Node* node) {
    // The node keeps its output alive throughout, so no handle copy (and no
    // pair of atomic count updates) is needed to allocate through it.
    if (node->output.impl()) node->output.allocate();
}

void Executor::run() {
    for (Node* node : order_) execute(node);
}

void execute(const Tensor& t) {
    const Graph& graph = default_graph();
    Node* producer = graph.find(t);
    if (producer == nullptr) return;
    Executor executor;
    // The usual request, a result whose operands have no producers, has the
    // node alone as its schedule: run it without building the walk's set and
    // stack, which would cost more than the allocation itself.
    bool alone = true;
    for (const Tensor& input : producer->inputs) {
        if (graph.find(input) != nullptr) {
            alone = false;
            break;
        }
    }
    if (alone) {
        executor.execute(producer);
        return;
    }
    executor.schedule(graph, t);
    executor.run();
}

}  // namespace quarnel
