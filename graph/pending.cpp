#include "pending.h"

#include <sys/mman.h>

#include <new>
#include <type_traits>
#include <utility>

namespace quarnel::detail {

namespace {

constexpr size_t BLOCK_BYTES = size_t{2} << 20;

// Trivially destructible, so that it lives as long as the process.
constinit PendingArena arena;
static_assert(std::is_trivially_destructible_v<PendingArena>);

}  // namespace

PendingArena& pending_arena() { return arena; }

void* PendingArena::allocate_in_new_block(size_t bytes, size_t align) {
    if (bytes > BLOCK_BYTES / 2) throw std::bad_alloc();
    // Mapped rather than taken from the heap: blocks are never freed, by
    // design, and a leak checker must not count them.
    void* block = mmap(nullptr, BLOCK_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    // What was left of the previous block stays unused.
    next_ = static_cast<char*>(block);
    end_ = next_ + BLOCK_BYTES;
    return allocate(bytes, align);
}

Tensor make_pending(const Shape& shape, Dtype dtype, Device device) {
    return Tensor(TensorImpl::make_unallocated(PendingAllocator<TensorImpl>(), shape, dtype, device));
}

}  // namespace quarnel::detail
