// The process-wide record of pending work. Lazy operations append nodes that
// hold their operands and their result; the executor finds a tensor's
// producer by its body and walks back through the producers of its inputs.
// Append-only: nodes, and the tensors they hold, live until the graph dies.
//
// Note [Producers]
// Each graph keeps its own record of which node produced which body, so
// that graphs used on different threads share nothing but the tensors they
// read. A graph of a program's own keeps it in a map. The process-wide
// graph, which records every lazy add, keeps it in the bodies themselves,
// where finding a producer is one read: recording a node writes the node's
// position into its output's producer link, and find() trusts a link only
// when the node at that position has this very body as output. No other
// graph reads or writes links, so the one graph that does shares them with
// nobody.
//
// Walks ask for the producer of every input of every node they reach, so the
// graph also keeps, in a dense list beside the nodes, the position of each
// input's producer as it stands now; a walk reads only that list, so it never
// touches the bodies (docs/performance.md says what that buys). A
// producer changes only when a body that some node already takes as input is
// recorded as an output again; the graph then mends the entries of every
// node that takes it. An output that only the recording call holds cannot be
// any node's input, since nodes hold their inputs: the lazy add's results are
// such, and only outputs held elsewhere pay for finding the nodes to mend.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <quarnel/export.h>

#include "../core/tensor.h"

namespace quarnel {

enum class Op : uint8_t { ADD = 1 };

class Graph;
QUARNEL_EXPORT inline Graph& default_graph();

struct Node {
    int32_t id;        // position in recording order
    std::string name;  // "ADD" for the add
    Op op;
    std::vector<Tensor> inputs;  // operand order
    Tensor output;               // shares its body with the tensor returned to the caller
};

class QUARNEL_EXPORT Graph {
public:
    Graph();
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    // Takes all four arguments over. A later node with the same output body
    // becomes that body's producer; an empty output is recorded unindexed.
    // Throws std::bad_alloc, also past 2^31 - 1 nodes.
    Node* add_node(std::string name, Op op, std::vector<Tensor> inputs, Tensor output);
    // What makes the process-wide graph; only default_graph() can.
    class ProcessWide {
        ProcessWide() = default;
        friend Graph& default_graph();
    };
    explicit Graph(ProcessWide);

    // The node that produced t's body, or null.
    Node* find(const Tensor& t) const {
        const std::optional<uint32_t> position = producer_of(t.impl().get());
        return position ? &node(*position) : nullptr;
    }

private:
    friend class Executor;
    friend void execute(const Tensor& t);

    // In a chunk's list of input producers: the input has none in this graph.
    static constexpr uint32_t NO_PRODUCER = UINT32_MAX;
    // CHUNK_NODES nodes and the producers of their inputs. Room for all of
    // the nodes is reserved when the chunk is made and never grown past, so
    // they never move; the producers of node k's inputs, in input order, are
    // producers[input_begin[k]] up to producers[input_begin[k + 1]]. Both
    // lists are reserved for two inputs a node, so that a chain or a tree of
    // adds never copies them.
    static constexpr uint32_t CHUNK_NODES = uint32_t{1} << 14;
    struct Chunk {
        Chunk();
        std::vector<Node> nodes;
        std::vector<uint32_t> input_begin;  // nodes.size() + 1 entries
        std::vector<uint32_t> producers;    // positions, or NO_PRODUCER
    };

    Chunk& chunk(uint32_t position) const { return *chunks_[position / CHUNK_NODES]; }
    Node& node(uint32_t position) const { return chunk(position).nodes[position % CHUNK_NODES]; }
    std::optional<uint32_t> producer_of(const TensorImpl* body) const {
        if (body == nullptr) return std::nullopt;
        if (!process_wide_) {
            const auto it = producers_.find(body);
            return it == producers_.end() ? std::nullopt : std::optional<uint32_t>(it->second);
        }
        const std::optional<uint32_t> link = body->producer_link();
        if (link && *link < size_ && node(*link).output.impl().get() == body) return link;
        return std::nullopt;
    }
    // The producers of the inputs of the node at position, in input order, as
    // they stand now: positions, or NO_PRODUCER.
    std::span<const uint32_t> input_producers(uint32_t position) const {
        const Chunk& home = chunk(position);
        const uint32_t k = position % CHUNK_NODES;
        return {home.producers.data() + home.input_begin[k], home.producers.data() + home.input_begin[k + 1]};
    }

    // Brings consumers_ up to date with every node recorded so far.
    void index_consumers();
    // Makes producer the producer of body in every entry of a node that takes body.
    void mend(const TensorImpl* body, uint32_t producer);

    const bool process_wide_ = false;                            // keeps its producers in the bodies' links
    uint32_t size_ = 0;                                          // nodes recorded
    std::vector<std::unique_ptr<Chunk>> chunks_;                 // node i is in chunk i / CHUNK_NODES
    std::unordered_map<const TensorImpl*, uint32_t> producers_;  // every other graph's producers
    // Which nodes take a body as input, kept only for the nodes below
    // indexed_ and brought up to date when an output held elsewhere is
    // recorded (see Note [Producers]). A node may be listed twice for a body.
    std::unordered_map<const TensorImpl*, std::vector<uint32_t>> consumers_;
    uint32_t indexed_ = 0;
};

// The one graph of the process, created empty on first use, destroyed at exit.
// Exported although inline, so that a program and a shared libquarnel find
// the same graph rather than one each.
QUARNEL_EXPORT inline Graph& default_graph() {
    static Graph graph{Graph::ProcessWide{}};
    return graph;
}

}  // namespace quarnel
