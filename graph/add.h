// The lazy elementwise add: checks that the operands agree, returns an
// unallocated result and records an "ADD" node. No element is ever computed.
#pragma once

#include <quarnel/export.h>

#include "../core/tensor.h"

namespace quarnel {

// Throws std::invalid_argument "add: dtype mismatch", "add: device mismatch",
// "add: rank mismatch" or "add: shape mismatch", checked in that order;
// nothing is recorded then.
QUARNEL_EXPORT Tensor add(const Tensor& self, const Tensor& other);

}  // namespace quarnel
