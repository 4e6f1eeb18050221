// Executor: turns a request for one tensor into a schedule of the graph
// nodes behind it, in dependency order, and runs them. Running a node only
// allocates its output's storage; no element values are computed.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include <quarnel/export.h>

#include "graph.h"

namespace quarnel {

class QUARNEL_EXPORT Executor {
public:
    const std::vector<Node*>& order() const { return order_; }

    // Appends node's not yet visited ancestry, then node itself, in the
    // depth-first post-order of a recursive walk (inputs in recorded order,
    // marked on entry). Iterative, so chain depth never reaches the machine stack.
    void visit(const Graph& graph, Node* node, std::unordered_set<Node*>& visited);
    // Replaces the schedule with the ancestry of t's producer.
    void schedule(const Graph& graph, const Tensor& t);
    // Allocates the node's output; a node without an output body does nothing.
    void execute(Node* node);
    // Runs the schedule first to last, stopping at the first failure.
    void run();

private:
    // Where a walk keeps its marks: its own, or the caller's visited set.
    class Reached;
    struct CallerMarks;
    // Appends the not yet marked ancestry of the node at position, then the
    // node, reading the graph and writing only order_ and the marks.
    template <typename Marks>
    void walk(const Graph& graph, uint32_t position, Marks& marks);

    std::vector<Node*> order_;  // non-owning; the graph owns the nodes
};

// Schedules and runs t's ancestry in the process-wide graph.
QUARNEL_EXPORT void execute(const Tensor& t);

}  // namespace quarnel
