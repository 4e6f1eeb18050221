// Pending results: the body and the storage of every lazy result are kept by
// the graph for the life of the process, so they are carved one after the
// other out of large blocks instead of taking two heap blocks each. That
// saves the allocator's headers and calls, and keeps results recorded
// together next to each other for the walks.
//
// The blocks are never given back, not even at exit, so a result that
// outlives the graph stays valid, and nothing needs counting: the memory of a
// result that dies is not reused, which costs nothing while the graph holds
// every result it made.
//
// Each body is followed by the position of the node it is made for, and the
// arena notes where its blocks lie, aligned to their size, so that the
// process-wide graph knows its results, and their nodes, by their addresses
// (Note [Producers] in graph.h): no field in the body, no lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

#include "../core/tensor.h"

namespace quarnel::detail {

class PendingArena {
public:
    static constexpr int BLOCK_SHIFT = 21;
    static constexpr size_t BLOCK_BYTES = size_t{1} << BLOCK_SHIFT;

    // Aligned to `align`. Callers are serialised, as all recording in the
    // process-wide graph is; throws std::bad_alloc when no block can be had.
    void* allocate(size_t bytes, size_t align) {
        void* object = next_;
        size_t room = static_cast<size_t>(end_ - next_);
        if (std::align(align, bytes, object, room) == nullptr) return allocate_in_new_block(bytes, align);
        next_ = static_cast<char*>(object) + bytes;
        return object;
    }
    // Whether p points into one of the blocks.
    bool owns(const void* p) const {
        const uintptr_t step = (reinterpret_cast<uintptr_t>(p) - lowest_) >> BLOCK_SHIFT;
        return step < steps_ && blocks_[step];
    }

private:
    void* allocate_in_new_block(size_t bytes, size_t align);

    char* next_ = nullptr;  // with no block yet, both are null and nothing fits
    char* end_ = nullptr;
    // The system maps blocks near each other, so the steps from the lowest
    // to the highest are few more than the blocks.
    uintptr_t lowest_ = 0;    // the lowest block's address
    size_t steps_ = 0;        // block-sized steps from lowest_ up to the highest block
    bool* blocks_ = nullptr;  // for each step, whether it is a block
};

// The process's arena: made at load time, never destroyed (trivially
// destructible, so that it outlives every result).
inline constinit PendingArena the_pending_arena;
static_assert(std::is_trivially_destructible_v<PendingArena>);
inline PendingArena& pending_arena() { return the_pending_arena; }

// Stateless, so that a control block made with it holds no copy of it.
// Nothing is ever given back (see above).
template <typename T>
struct PendingAllocator {
    using value_type = T;
    PendingAllocator() = default;
    template <typename U>
    PendingAllocator(const PendingAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
    T* allocate(size_t n) { return static_cast<T*>(pending_arena().allocate(n * sizeof(T), alignof(T))); }
    void deallocate(T*, size_t) noexcept {}
    template <typename U>
    bool operator==(const PendingAllocator<U>&) const noexcept {
        return true;
    }
};

// A lazy result as the arena keeps it: the body, then the position of the
// node it is made for. Every TensorImpl in the arena is one of these.
struct PendingResult {
    PendingResult(const Shape& shape, Dtype dtype, Device device, uint32_t node)
        : body(TensorImpl::unallocated(PendingAllocator<Storage>(), shape, dtype, device)), position(node) {}
    TensorImpl body;
    uint32_t position;
};
static_assert(std::is_standard_layout_v<PendingResult>);  // so a body's address is its result's

// A contiguous tensor of this shape whose storage owns no memory yet, made in
// the arena for the node at position: what the lazy add returns.
Tensor make_pending(const Shape& shape, Dtype dtype, Device device, uint32_t position);

// The position that make_pending made body for, or none for a body made
// anywhere else. Read only by callers serialised with make_pending.
inline std::optional<uint32_t> pending_position(const TensorImpl* body) {
    if (!pending_arena().owns(body)) return std::nullopt;
    return reinterpret_cast<const PendingResult*>(body)->position;
}

}  // namespace quarnel::detail
