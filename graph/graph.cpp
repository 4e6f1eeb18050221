#include "graph/graph.h"

#include <utility>

namespace quarnel {

// The index goes first, then the nodes from the newest back to the oldest, so
// each node lets go of its tensors before the nodes that produced them do.
Graph::~Graph() {
    producers_.clear();
    while (!nodes_.empty()) nodes_.pop_back();
}

Node* Graph::add_node(std::string name, Op op, std::vector<Tensor> inputs, Tensor output) {
    // Braced, not parenthesised, aggregate initialisation: older compilers lack the latter.
    auto node = std::make_unique<Node>(Node{static_cast<int32_t>(nodes_.size()), std::move(name), op,
                                            std::move(inputs), std::move(output)});
    Node* raw = node.get();
    nodes_.push_back(std::move(node));  // on failure the node dies here, graph unchanged
    if (const TensorImpl* body = raw->output.impl().get()) producers_[body] = raw;
    return raw;
}

Node* Graph::find(const Tensor& t) const {
    const auto it = producers_.find(t.impl().get());
    return it == producers_.end() ? nullptr : it->second;
}

Graph& default_graph() {
    static Graph graph;
    return graph;
}

}  // namespace quarnel
