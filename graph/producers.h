// How a graph finds the node that produced a body (Note [Producers] in
// graph.h). Inline for recording, which asks it for every input, and for the
// executor; the library's own, like pending.h.
#pragma once

#include <cstdint>
#include <optional>

#include "graph.h"
#include "pending.h"

namespace quarnel {

inline std::optional<uint32_t> Graph::producer_of(const TensorImpl* body) const {
    if (body == nullptr) return std::nullopt;
    if (!producers_.empty()) {
        if (const auto it = producers_.find(body); it != producers_.end()) return it->second;
    }
    if (!process_wide_) return std::nullopt;
    const std::optional<uint32_t> position = detail::pending_position(body);
    if (position && *position < size_ && node(*position).output.impl().get() == body) return position;
    return std::nullopt;
}

}  // namespace quarnel
