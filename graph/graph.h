// The process-wide record of pending work. Lazy operations append nodes that
// hold their operands and their result; the executor finds a tensor's
// producer by its body. Append-only: nodes, and the tensors they hold, live
// until the graph dies. Callers read a node's fields; the graph relies on
// them as recorded, so they are not to be rewritten.
//
// Note [Producer links]
// A graph keeps no index of bodies. Recording a node writes the node's id
// into its output body, and find() reads it back and checks that the node
// with that id has this very body as output: one read of the body, no hash,
// and no table that outgrows the caches. The check makes a link that another
// graph wrote, or a graph that has died, harmless. A body holds one link: a
// graph that records a body whose link is not its own keeps that body in a
// small map instead, which then takes precedence for that body.
//
// Note [Recorded producers]
// A walk asks for the producer of every input of every node it reaches.
// While each output a graph records is a body no node of it has seen before
// (always so for the lazy add, whose results are new), a body's producer is
// settled before any node takes it as input and never changes after. So the
// producers of a node's inputs are looked up once, when it is recorded, and
// kept in a dense array beside the nodes: a walk reads that array and never
// touches the nodes, their input lists or the bodies, and a chain's walk
// runs through memory in order. The first output that was seen before (an
// input of some node, or an output already) makes the graph irregular, and
// from then on its walks look every producer up.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/tensor.h"
#include "graph/pages.h"
#include "graph/pending.h"

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
    Node* find(const Tensor& t) const {
        const TensorImpl* body = t.impl().get();
        if (body == nullptr) return nullptr;
        if (!others_.empty()) {
            if (Node* node = find_other(body)) return node;
        }
        return linked(body);
    }

private:
    friend class Executor;
    friend void execute(const Tensor& t);
    friend detail::PendingArena& detail::pending_arena();

    // Values of a recorded producer; ids stay below them (they are int32).
    static constexpr uint32_t NO_PRODUCER = UINT32_MAX;
    static constexpr uint32_t NO_INPUT = UINT32_MAX - 1;
    static constexpr uint32_t UNRECORDED = UINT32_MAX - 2;  // in producers[0]: more than two inputs
    // A body's link once some node of some graph took it as input (a link
    // names no node then); see Note [Recorded producers].
    static constexpr uint32_t CONSUMED = UINT32_MAX - 1;

    // What a walk needs of a node, see Note [Recorded producers].
    struct WalkEntry {
        uint32_t mark;          // number of the last walk that reached the node
        uint32_t producers[2];  // of inputs 0 and 1: an id, NO_PRODUCER or NO_INPUT
    };
    // Nodes never move once made, which is what keeps every Node* valid.
    static constexpr uint32_t PER_CHUNK =
        static_cast<uint32_t>((detail::CHUNK_BYTES - alignof(Node)) / (sizeof(WalkEntry) + sizeof(Node)));
    struct Chunk {
        WalkEntry entries[PER_CHUNK];
        alignas(Node) unsigned char nodes[PER_CHUNK * sizeof(Node)];
    };
    static_assert(sizeof(Chunk) <= detail::CHUNK_BYTES);
    struct ChunkUnmap {
        void operator()(Chunk* chunk) const noexcept { detail::unmap_chunk(chunk); }
    };

    Chunk& chunk(uint32_t id) const { return *chunks_[id / PER_CHUNK]; }
    WalkEntry& entry(uint32_t id) const { return chunk(id).entries[id % PER_CHUNK]; }
    Node& node(uint32_t id) const {
        return *std::launder(reinterpret_cast<Node*>(chunk(id).nodes) + id % PER_CHUNK);
    }
    // This graph's id of a node, or NO_PRODUCER for a node of another graph
    // (or one whose id was rewritten).
    uint32_t id_of(const Node* n) const {
        const auto id = static_cast<uint32_t>(n->id);
        return id < size_ && &node(id) == n ? id : NO_PRODUCER;
    }
    // The id of the node that body's link names, when that node is this
    // graph's and produced body; else NO_PRODUCER.
    uint32_t linked_id(const TensorImpl* body) const {
        const uint32_t id = body->producer_.node;
        return id < size_ && node(id).output.impl().get() == body ? id : NO_PRODUCER;
    }
    Node* linked(const TensorImpl* body) const {
        const uint32_t id = linked_id(body);
        return id == NO_PRODUCER ? nullptr : &node(id);
    }
    Node* find_other(const TensorImpl* body) const;
    // Starts fetching what executing body's producer reads: its node, its
    // walk entry and body's storage. A result made long ago has left the
    // caches, and these are misses that would otherwise come one by one.
    void prefetch_producer(const TensorImpl* body) const {
        __builtin_prefetch(body->storage().get());
        const uint32_t id = body->producer_.node;
        if (id >= size_) return;
        const Node* n = &node(id);
        __builtin_prefetch(n);
        __builtin_prefetch(reinterpret_cast<const char*>(n) + sizeof(Node) - 1);
        __builtin_prefetch(&entry(id));
    }
    // The producer of a new node's input, which from now on counts as consumed.
    uint32_t record_input(const Tensor& input);
    // Starts a walk: the number it stamps into the entries it reaches.
    // Walks must be serialised, as everything else on a graph is.
    uint32_t begin_walk() const;
    // Marks node id as reached by the walk numbered epoch; false when it was already.
    bool stamp(uint32_t id, uint32_t epoch) const {
        uint32_t& mark = entry(id).mark;
        if (mark == epoch) return false;
        mark = epoch;
        return true;
    }

    std::vector<std::unique_ptr<Chunk, ChunkUnmap>> chunks_;  // node i in chunk i / PER_CHUNK
    uint32_t size_ = 0;                                       // node count; node i has id i
    bool irregular_ = false;                                  // see Note [Recorded producers]
    mutable uint32_t epoch_ = 0;                              // number of the latest walk
    std::unordered_map<const TensorImpl*, Node*> others_;     // bodies whose link was not this graph's
    detail::PendingArena pending_;                            // results of the lazy add (default graph only)
};

// The one graph of the process, created empty on first use, destroyed at exit.
inline Graph& default_graph() {
    static Graph graph;
    return graph;
}

inline detail::PendingArena& detail::pending_arena() { return default_graph().pending_; }

}  // namespace quarnel
