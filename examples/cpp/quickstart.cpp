// The typical request from C++: two tensors, a lazy add, then execute.
#include <cstdio>

#include <quarnel/quarnel.h>

int main() {
    using namespace quarnel;
    Tensor a(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
    Tensor b = Tensor::ones(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);

    Tensor c = add(a, b);  // recorded in the graph, nothing allocated yet
    std::printf("c pending: allocated=%d\n", c.allocated());

    execute(c);  // allocates c's storage; values are not computed
    std::printf("c executed: allocated=%d numel=%lld\n", c.allocated(), static_cast<long long>(c.numel()));

    Tensor v = c.view({3, -1});
    std::printf("view: shape [%llu, %llu], same storage=%d\n", static_cast<unsigned long long>(v.shape()[0]),
                static_cast<unsigned long long>(v.shape()[1]), v.storage() == c.storage());
    return 0;
}
