// quarnel: tensors with lazy evaluation. C++ users include only this header,
// as <quarnel/quarnel.h>, and link quarnel::core.
#pragma once

#include <quarnel/version.h>

#include "core/buffer.h"
#include "core/dtype.h"
#include "core/shape.h"
#include "core/storage.h"
#include "core/tensor.h"
#include "graph/add.h"
#include "graph/executor.h"
#include "graph/graph.h"
