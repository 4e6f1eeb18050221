#include "graph/graph.h"

#include <memory>
#include <utility>

namespace quarnel {

// The index goes first, then the nodes from the newest back to the oldest, so
// each node lets go of its tensors before the nodes that produced them do.
// Links left in bodies that outlive the graph fail every other graph's check.
Graph::~Graph() {
    others_.clear();
    for (uint32_t id = size_; id-- > 0;) std::destroy_at(&node(id));
}

uint32_t Graph::record_input(const Tensor& input) {
    TensorImpl* body = input.impl().get();
    if (body == nullptr) return NO_PRODUCER;
    uint32_t& link = body->producer_.node;
    if (link == TensorImpl::ProducerLink::NONE) {
        link = CONSUMED;
        return NO_PRODUCER;
    }
    // A regular graph has put nothing in others_: its links say it all.
    return linked_id(body);
}

Node* Graph::add_node(std::string name, Op op, std::vector<Tensor> inputs, Tensor output) {
    const uint32_t id = size_;
    if (id / PER_CHUNK == chunks_.size()) {
        // Both steps may throw; neither changes the graph.
        chunks_.reserve(chunks_.size() + 1);
        chunks_.emplace_back(static_cast<Chunk*>(detail::map_chunk()));
    }
    // Nothing below throws until the node is recorded.
    Chunk& home = *chunks_[id / PER_CHUNK];
    const uint32_t slot = id % PER_CHUNK;
    WalkEntry& walk = home.entries[slot];
    walk.mark = 0;
    walk.producers[0] = walk.producers[1] = NO_INPUT;
    if (!irregular_) {
        const size_t count = inputs.size();
        for (size_t i = 0; i < count; ++i) {
            const uint32_t producer = record_input(inputs[i]);
            if (i < 2) walk.producers[i] = producer;
        }
        if (count > 2) walk.producers[0] = UNRECORDED;
    }
    // Decided before the node exists, so that its own slot cannot vouch for
    // a link another graph wrote.
    TensorImpl* body = output.impl().get();
    bool take_link = false;
    if (body != nullptr) {
        const uint32_t link = body->producer_.node;
        // Seen before, by this graph or another: see Note [Recorded producers].
        if (link != TensorImpl::ProducerLink::NONE) irregular_ = true;
        take_link = (others_.empty() || others_.find(body) == others_.end()) &&
                    (link == TensorImpl::ProducerLink::NONE || link == CONSUMED || linked(body) != nullptr);
    }
    Node* node = new (home.nodes + slot * sizeof(Node))
        Node{static_cast<int32_t>(id), std::move(name), op, std::move(inputs), std::move(output)};
    size_ = id + 1;
    if (body != nullptr) {
        if (take_link) {
            body->producer_.node = id;
        } else {
            others_[body] = node;  // on failure the node stays, unindexed
        }
    }
    return node;
}

Node* Graph::find_other(const TensorImpl* body) const {
    const auto it = others_.find(body);
    return it == others_.end() ? nullptr : it->second;
}

uint32_t Graph::begin_walk() const {
    if (++epoch_ == 0) {
        // Four billion walks later the numbers start again: old marks must
        // not pass for the new walk's.
        for (uint32_t id = 0; id < size_; ++id) entry(id).mark = 0;
        epoch_ = 1;
    }
    return epoch_;
}

}  // namespace quarnel
