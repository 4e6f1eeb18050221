// An application with headers of its own named as quarnel's are (app/core/,
// app/graph/), first on its include path, using quarnel beside them. Built
// against an installed package, through add_subdirectory and with pkg-config.
#include <cstdio>
#include <cstring>

#include <quarnel/quarnel.h>

#include "core/dtype.h"
#include "graph/graph.h"

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    const app::Graph own{2};
    if (own.nodes != 2 || app::Dtype::NUMBER == app::Dtype::TEXT) return fail("the application's own headers");

    const quarnel::Tensor a(quarnel::Shape({2, 3}), quarnel::Dtype::FLOAT32, quarnel::Device::CPU);
    const quarnel::Tensor c = quarnel::add(a, a);
    // The library recorded the add; the program must see it in the same
    // graph, also when the library is a shared object of its own.
    const quarnel::Node* node = quarnel::default_graph().find(c);
    if (node == nullptr || node->output.impl() != c.impl()) return fail("the add is not in the program's graph");
    quarnel::execute(c);
    if (!c.allocated()) return fail("execute left the result unallocated");
#ifdef EXPECTED_VERSION
    if (std::strcmp(QUARNEL_VERSION, EXPECTED_VERSION) != 0)
        return fail("quarnel/version.h disagrees with the package");
#endif
    std::printf("consumer: quarnel %s, own core/ and graph/ headers beside it\n", QUARNEL_VERSION);
    return 0;
}
