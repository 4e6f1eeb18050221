#include "add.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "graph.h"
#include "pending.h"

namespace quarnel {

Tensor add(const Tensor& self, const Tensor& other) {
    if (self.dtype() != other.dtype()) throw std::invalid_argument("add: dtype mismatch");
    if (self.device() != other.device()) throw std::invalid_argument("add: device mismatch");
    const Shape& shape = self.shape();
    if (shape.rank() != other.shape().rank()) throw std::invalid_argument("add: rank mismatch");
    for (int i = 0; i < static_cast<int>(shape.rank()); ++i) {
        if (shape[i] != other.shape()[i]) throw std::invalid_argument("add: shape mismatch");
    }
    // The operands' shape is already a valid Shape, so it is reused as is.
    Tensor result = detail::make_pending(shape, self.dtype(), self.device());
    // Built in place rather than from a braced list, which would copy each
    // handle twice (two more atomic count updates per operand).
    std::vector<Tensor> inputs;
    inputs.reserve(2);
    inputs.push_back(self);
    inputs.push_back(other);
    // The result is handed over whole, so the graph sees an output that no
    // node can hold yet (see Note [Producers] in graph/graph.h); the caller
    // gets the node's handle to the same body.
    return default_graph().add_node("ADD", Op::ADD, std::move(inputs), std::move(result))->output;
}

}  // namespace quarnel
