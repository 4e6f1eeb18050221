// The process-wide record of pending work. Lazy operations append nodes that
// hold their operands and their result; the executor finds a tensor's
// producer by the address of its body. Append-only: nodes, and the tensors
// they hold, live until the process exits, which is also what keeps every
// indexed body address from being reused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/tensor.h"

namespace quarnel {

enum class Op : uint8_t { ADD = 1 };

struct Node {
    int32_t id;                  // position in recording order
    std::string name;            // "ADD" for the add
    Op op;
    std::vector<Tensor> inputs;  // operand order
    Tensor output;               // shares its body with the tensor returned to the caller
};

class Graph {
public:
    Graph() = default;
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    // Takes all four arguments over. A later node with the same output body
    // becomes that body's producer; an empty output is recorded unindexed.
    Node* add_node(std::string name, Op op, std::vector<Tensor> inputs, Tensor output);
    // The node that produced t's body, or null.
    Node* find(const Tensor& t) const;

private:
    std::vector<std::unique_ptr<Node>> nodes_;  // node i has id i; addresses stay stable
    std::unordered_map<const TensorImpl*, Node*> producers_;  // every key is a node's output body
};

// The one graph of the process, created empty on first use, destroyed at exit.
Graph& default_graph();

}  // namespace quarnel
