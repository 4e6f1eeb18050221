#include "executor.h"

#include <algorithm>
#include <bitset>
#include <span>
#include <unordered_map>

namespace quarnel {

// The nodes one walk has reached, by position: a bit each, in pages made
// when the walk first reaches them, so that a walk costs what it reaches and
// not the size of the graph, and a mark costs a bit rather than a hashed
// entry.
class Executor::Reached {
public:
    bool insert(uint32_t position) {
        auto bit = pages_[position / PAGE_BITS][position % PAGE_BITS];
        if (bit) return false;
        bit = true;
        return true;
    }

private:
    static constexpr uint32_t PAGE_BITS = 4096;
    std::unordered_map<uint32_t, std::bitset<PAGE_BITS>> pages_;
};

struct Executor::CallerMarks {
    const Graph& graph;
    std::unordered_set<Node*>& visited;
    bool insert(uint32_t position) { return visited.insert(&graph.node(position)).second; }
};

template <typename Marks>
void Executor::walk(const Graph& graph, uint32_t position, Marks& marks) {
    if (!marks.insert(position)) return;
    // The recursion of the plain walk, on a stack of its own: each frame is
    // a node and the entry of the next input whose producer it visits.
    struct Frame {
        uint32_t node;
        uint32_t next_input;
    };
    std::vector<Frame> stack{{position, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        const std::span<const uint32_t> producers = graph.input_producers(top.node);
        if (top.next_input == producers.size()) {
            order_.push_back(&graph.node(top.node));
            stack.pop_back();
            continue;
        }
        const uint32_t producer = producers[top.next_input++];
        if (producer != Graph::NO_PRODUCER && marks.insert(producer)) stack.push_back({producer, 0});
    }
}

void Executor::visit(const Graph& graph, Node* node, std::unordered_set<Node*>& visited) {
    if (!visited.insert(node).second) return;
    // The node may be any graph's: its inputs' producers are found by their bodies.
    CallerMarks marks{graph, visited};
    for (const Tensor& input : node->inputs) {
        if (const std::optional<uint32_t> producer = graph.producer_of(input.impl().get())) {
            walk(graph, *producer, marks);
        }
    }
    order_.push_back(node);
}

void Executor::schedule(const Graph& graph, const Tensor& t) {
    order_.clear();
    if (const std::optional<uint32_t> producer = graph.producer_of(t.impl().get())) {
        Reached marks;
        walk(graph, *producer, marks);
    }
}

void Executor::execute(Node* node) {
    // The node keeps its output alive throughout, so no handle copy (and no
    // pair of atomic count updates) is needed to allocate through it.
    if (node->output.impl()) node->output.allocate();
}

void Executor::run() {
    // Running a node reads the node, then its output body, then the storage:
    // three misses in a row once the graph outgrows the caches. The schedule
    // is known, so each is fetched some nodes ahead, each stage reading what
    // the stage before fetched.
    constexpr size_t AHEAD = 16;
    const size_t count = order_.size();
    for (size_t i = 0; i < count; ++i) {
        if (i + 2 * AHEAD < count) __builtin_prefetch(&order_[i + 2 * AHEAD]->output);
        if (i + AHEAD < count) {
            if (const TensorImpl* body = order_[i + AHEAD]->output.impl().get()) __builtin_prefetch(body);
        }
        if (i + AHEAD / 2 < count) {
            if (const TensorImpl* body = order_[i + AHEAD / 2]->output.impl().get()) {
                __builtin_prefetch(body->storage().get());
            }
        }
        execute(order_[i]);
    }
}

void execute(const Tensor& t) {
    const Graph& graph = default_graph();
    const std::optional<uint32_t> producer = graph.producer_of(t.impl().get());
    if (!producer) return;
    Executor executor;
    // The usual request, a result whose operands nothing produced, is its
    // node alone: run it without a walk.
    const std::span<const uint32_t> producers = graph.input_producers(*producer);
    if (std::all_of(producers.begin(), producers.end(), [](uint32_t p) { return p == Graph::NO_PRODUCER; })) {
        executor.execute(&graph.node(*producer));
        return;
    }
    executor.schedule(graph, t);
    executor.run();
}

}  // namespace quarnel
