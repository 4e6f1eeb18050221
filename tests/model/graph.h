// The model of a graph: what was recorded into it, as a plain list in
// recording order, each entry with the bodies its node takes and the body it
// makes; a body's producer is the last entry that made it. A schedule is the
// recursive post-order of that list: each entry marked on entry, the
// producers of its inputs in input order, then the entry itself.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quarnel.h"

namespace quarnel::model {

class GraphRecord {
public:
    struct Entry {
        std::vector<const TensorImpl*> inputs;  // null for an empty handle
        const TensorImpl* output;               // likewise
        Node* node;                             // what the graph returned
    };

    // Records the node into the graph and into the model alike.
    Node* record(Graph& graph, std::string name, std::vector<Tensor> inputs, Tensor output) {
        Entry entry{{}, output.impl().get(), nullptr};
        for (const Tensor& t : inputs) entry.inputs.push_back(t.impl().get());
        entry.node = graph.add_node(std::move(name), Op::ADD, std::move(inputs), std::move(output));
        if (entry.output != nullptr) producer_[entry.output] = entries_.size();
        entries_.push_back(std::move(entry));
        return entries_.back().node;
    }

    const std::vector<Entry>& entries() const { return entries_; }

    // The entry that last made body (never an empty handle's null).
    std::optional<size_t> producer(const TensorImpl* body) const {
        const auto it = producer_.find(body);
        if (it == producer_.end()) return std::nullopt;
        return it->second;
    }
    Node* producer_node(const TensorImpl* body) const {
        const std::optional<size_t> at = producer(body);
        return at ? entries_[*at].node : nullptr;
    }

    // Appends the entry's ancestry that `marks` does not hold yet, then the
    // entry, marking each.
    void post_order(size_t at, std::set<size_t>& marks, std::vector<Node*>& out) const {
        marks.insert(at);
        for (const TensorImpl* input : entries_[at].inputs) {
            const std::optional<size_t> p = producer(input);
            if (p && marks.count(*p) == 0) post_order(*p, marks, out);
        }
        out.push_back(entries_[at].node);
    }

    // The whole ancestry of body's producer, with marks of its own.
    std::vector<Node*> schedule(const TensorImpl* body) const {
        std::vector<Node*> out;
        std::set<size_t> marks;
        if (const std::optional<size_t> p = producer(body)) post_order(*p, marks, out);
        return out;
    }

    void clear() {
        entries_.clear();
        producer_.clear();
    }

private:
    std::vector<Entry> entries_;
    std::map<const TensorImpl*, size_t> producer_;  // body -> its last producing entry
};

}  // namespace quarnel::model
