#include "graph/executor.h"

namespace quarnel {

namespace {

enum class Step { FOUND, NO_PRODUCER, DONE };

// The depth-first post-order of a recursive walk (inputs in recorded order,
// marked on entry), kept on an explicit stack so that chain depth never
// reaches the machine stack. The View says what a node's producers are and
// keeps the marks; see the views below.
template <typename View>
void walk(View& view, typename View::Ref start, std::vector<Node*>& order) {
    using Ref = typename View::Ref;
    if (!view.mark(start)) return;
    struct Frame {
        Ref ref;
        uint32_t next_input;
    };
    std::vector<Frame> stack{{start, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        Ref producer{};
        switch (view.producer(top.ref, top.next_input++, producer)) {
            case Step::FOUND:
                if (view.mark(producer)) stack.push_back({producer, 0});
                break;
            case Step::NO_PRODUCER:
                break;
            case Step::DONE:
                order.push_back(view.node(top.ref));
                stack.pop_back();
                break;
        }
    }
}

}  // namespace

// Every input's producer looked up in the graph at walk time.
template <typename Marks>
struct Executor::LookupView {
    using Ref = Node*;
    const Graph& graph;
    Marks& marks;

    bool mark(Node* node) { return marks.insert(node); }
    static Node* node(Node* node) { return node; }
    Step producer(Node* node, uint32_t input, Node*& out) const {
        if (input >= node->inputs.size()) return Step::DONE;
        out = graph.find(node->inputs[input]);
        return out != nullptr ? Step::FOUND : Step::NO_PRODUCER;
    }
};

// The producers as recorded, by id: a walk of a regular graph reads only the
// dense walk entries (and the input lists of nodes with more than two inputs).
struct Executor::RecordedView {
    using Ref = uint32_t;
    const Graph& graph;
    uint32_t epoch;

    bool mark(uint32_t id) const { return graph.stamp(id, epoch); }
    Node* node(uint32_t id) const { return &graph.node(id); }
    Step producer(uint32_t id, uint32_t input, uint32_t& out) const {
        const Graph::WalkEntry& entry = graph.entry(id);
        if (entry.producers[0] == Graph::UNRECORDED) {
            const Node& node = graph.node(id);
            if (input >= node.inputs.size()) return Step::DONE;
            const TensorImpl* body = node.inputs[input].impl().get();
            out = body != nullptr ? graph.linked_id(body) : Graph::NO_PRODUCER;
        } else {
            out = input < 2 ? entry.producers[input] : Graph::NO_INPUT;
            if (out == Graph::NO_INPUT) return Step::DONE;
        }
        return out != Graph::NO_PRODUCER ? Step::FOUND : Step::NO_PRODUCER;
    }
};

struct Executor::SetMarks {
    std::unordered_set<Node*>& set;
    bool insert(Node* node) { return set.insert(node).second; }
};

// A walk's number stamped into the walk entries: no set to build or clear.
struct Executor::EntryMarks {
    const Graph& graph;
    uint32_t epoch;
    std::unordered_set<Node*> strays;  // nodes the graph does not know by their id

    bool insert(Node* node) {
        const uint32_t id = graph.id_of(node);
        return id == Graph::NO_PRODUCER ? strays.insert(node).second : graph.stamp(id, epoch);
    }
};

void Executor::visit(const Graph& graph, Node* node, std::unordered_set<Node*>& visited) {
    SetMarks marks{visited};
    LookupView<SetMarks> view{graph, marks};
    walk(view, node, order_);
}

void Executor::schedule(const Graph& graph, const Tensor& t) {
    order_.clear();
    Node* producer = graph.find(t);
    if (producer == nullptr) return;
    const uint32_t epoch = graph.begin_walk();
    if (!graph.irregular_) {
        RecordedView view{graph, epoch};
        walk(view, graph.id_of(producer), order_);
    } else {
        EntryMarks marks{graph, epoch, {}};
        LookupView<EntryMarks> view{graph, marks};
        walk(view, producer, order_);
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
    const TensorImpl* body = t.impl().get();
    if (body == nullptr) return;
    graph.prefetch_producer(body);
    Node* producer = graph.find(t);
    if (producer == nullptr) return;
    Executor executor;
    // The usual request, a result whose operands have no producers, has the
    // node alone as its schedule: run it without walking. A regular graph
    // recorded those producers beside the node (NO_INPUT and NO_PRODUCER
    // are the two largest values; UNRECORDED lies below them).
    bool alone = true;
    if (!graph.irregular_) {
        const Graph::WalkEntry& entry = graph.entry(graph.id_of(producer));
        alone = entry.producers[0] >= Graph::NO_INPUT && entry.producers[1] >= Graph::NO_INPUT;
    } else {
        for (const Tensor& input : producer->inputs) {
            if (graph.find(input) != nullptr) {
                alone = false;
                break;
            }
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
