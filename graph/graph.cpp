#include "graph.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>

namespace quarnel {

namespace {

// Room for `more` further elements, growing geometrically, so that the
// appends after it cannot throw.
template <typename T>
inline void reserve_more(std::vector<T>& list, size_t more) {
    if (list.capacity() - list.size() < more) [[unlikely]] {
        list.reserve(std::max(list.size() + more, 2 * list.capacity()));
    }
}

// A node made where the vector puts it. Node is an aggregate, with no
// constructor to emplace through, and making one first and moving it in
// would move each of its fields once more, on every lazy add. Compilers build
// the result of the conversion in the element's place (it is correct either
// way).
struct NodeInPlace {
    int32_t id;
    std::string& name;
    Op op;
    std::vector<Tensor>& inputs;
    Tensor& output;
    operator Node() const { return Node{id, std::move(name), op, std::move(inputs), std::move(output)}; }  // NOLINT
};

}  // namespace

Graph::Graph() = default;

Graph::Graph(ProcessWide) : process_wide_(true) {}

Graph::Chunk::Chunk() : input_begin{0} {
    nodes.reserve(CHUNK_NODES);
    input_begin.reserve(CHUNK_NODES + 1);
    producers.reserve(size_t{2} * CHUNK_NODES);
}

// The indexes go first, then the nodes from the newest back to the oldest,
// so each node lets go of its tensors before the nodes that produced them do.
// Links left in bodies that outlive the graph are read by no other graph.
Graph::~Graph() {
    producers_.clear();
    consumers_.clear();
    for (auto chunk = chunks_.rbegin(); chunk != chunks_.rend(); ++chunk) {
        std::vector<Node>& nodes = (*chunk)->nodes;
        while (!nodes.empty()) nodes.pop_back();
    }
    size_ = 0;
}

Node* Graph::add_node(std::string name, Op op, std::vector<Tensor> inputs, Tensor output) {
    const uint32_t position = size_;
    if (position == static_cast<uint32_t>(INT32_MAX)) throw std::bad_alloc();
    TensorImpl* body = output.impl().get();
    // An output only this argument holds is no node's input; see Note [Producers].
    const bool held_elsewhere = body != nullptr && output.impl().use_count() > 1;

    // Everything that may throw comes first and leaves the record as it was.
    if (position / CHUNK_NODES == chunks_.size()) {
        auto chunk = std::make_unique<Chunk>();
        reserve_more(chunks_, 1);
        chunks_.push_back(std::move(chunk));
    }
    Chunk& home = *chunks_.back();
    if (home.producers.capacity() - home.producers.size() < inputs.size()) [[unlikely]] {
        // Its offsets are 32 bits.
        if (inputs.size() > NO_PRODUCER - home.producers.size()) throw std::bad_alloc();
        reserve_more(home.producers, inputs.size());
    }
    if (held_elsewhere) index_consumers();

    for (const Tensor& input : inputs) home.producers.push_back(producer_of(input.impl().get()).value_or(NO_PRODUCER));
    home.input_begin.push_back(static_cast<uint32_t>(home.producers.size()));
    Node* node = &home.nodes.emplace_back(NodeInPlace{static_cast<int32_t>(position), name, op, inputs, output});
    size_ = position + 1;

    if (body == nullptr) return node;
    if (process_wide_) {
        body->set_producer_link(position);
    } else {
        producers_[body] = position;  // if this throws, the node stays unindexed
    }
    if (held_elsewhere) mend(body, position);
    return node;
}

void Graph::index_consumers() {
    // A failure part way through a node lists its first inputs again later.
    for (; indexed_ < size_; ++indexed_) {
        for (const Tensor& input : node(indexed_).inputs) {
            if (input.impl()) consumers_[input.impl().get()].push_back(indexed_);
        }
    }
}

void Graph::mend(const TensorImpl* body, uint32_t producer) {
    const auto point_at_producer = [&](uint32_t consumer) {
        Chunk& home = chunk(consumer);
        const uint32_t first = home.input_begin[consumer % CHUNK_NODES];
        const std::vector<Tensor>& inputs = home.nodes[consumer % CHUNK_NODES].inputs;
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i].impl().get() == body) home.producers[first + i] = producer;
        }
    };
    if (const auto it = consumers_.find(body); it != consumers_.end()) {
        for (const uint32_t consumer : it->second) point_at_producer(consumer);
    }
    for (uint32_t consumer = indexed_; consumer <= producer; ++consumer) point_at_producer(consumer);
}

}  // namespace quarnel
