#include "pending.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <utility>

namespace quarnel::detail {

namespace {

// A block-sized, block-aligned mapping: twice that, less what lies outside.
char* map_aligned_block() {
    constexpr size_t BLOCK = PendingArena::BLOCK_BYTES;
    void* mapped = mmap(nullptr, 2 * BLOCK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<char*>(mapped);
    char* block = start + ((BLOCK - reinterpret_cast<uintptr_t>(start) % BLOCK) % BLOCK);
    if (block > start) munmap(start, static_cast<size_t>(block - start));
    munmap(block + BLOCK, static_cast<size_t>(start + 2 * BLOCK - (block + BLOCK)));
    return block;
}

}  // namespace

void* PendingArena::allocate_in_new_block(size_t bytes, size_t align) {
    if (bytes > BLOCK_BYTES / 2) throw std::bad_alloc();
    // Mapped rather than taken from the heap: blocks are never freed, by
    // design, and a leak checker must not count them.
    char* block = map_aligned_block();
    // The steps now spanned, from the lowest block to the highest.
    const auto at = reinterpret_cast<uintptr_t>(block);
    const uintptr_t lowest = steps_ == 0 ? at : std::min(lowest_, at);
    const size_t steps =
        std::max(steps_ == 0 ? 0 : ((lowest_ - lowest) >> BLOCK_SHIFT) + steps_, ((at - lowest) >> BLOCK_SHIFT) + 1);
    bool* blocks = blocks_;
    if (steps != steps_ || lowest != lowest_) {
        blocks = new (std::nothrow) bool[steps]();
        if (blocks == nullptr) {
            munmap(block, BLOCK_BYTES);
            throw std::bad_alloc();
        }
        if (steps_ > 0) std::copy(blocks_, blocks_ + steps_, blocks + ((lowest_ - lowest) >> BLOCK_SHIFT));
        delete[] blocks_;
    }
    blocks[(at - lowest) >> BLOCK_SHIFT] = true;
    blocks_ = blocks;
    lowest_ = lowest;
    steps_ = steps;
    // What was left of the previous block stays unused.
    next_ = block;
    end_ = block + BLOCK_BYTES;
    return allocate(bytes, align);
}

Tensor make_pending(const Shape& shape, Dtype dtype, Device device, uint32_t position) {
    auto result =
        std::allocate_shared<PendingResult>(PendingAllocator<PendingResult>(), shape, dtype, device, position);
    TensorImpl* body = &result->body;
    return Tensor(std::shared_ptr<TensorImpl>(std::move(result), body));
}

}  // namespace quarnel::detail
