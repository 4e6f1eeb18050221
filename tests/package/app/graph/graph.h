// The application's own graph/graph.h, first on its include path.
#pragma once

namespace app {
struct Graph {
    int nodes = 0;
};
}  // namespace app
