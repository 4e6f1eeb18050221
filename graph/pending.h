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
#pragma once

#include <cstddef>
#include <memory>

#include "../core/tensor.h"

namespace quarnel::detail {

class PendingArena {
public:
    // Aligned to `align`. Callers are serialised, as all recording in the
    // process-wide graph is; throws std::bad_alloc when no block can be had.
    void* allocate(size_t bytes, size_t align) {
        void* object = next_;
        size_t room = static_cast<size_t>(end_ - next_);
        if (std::align(align, bytes, object, room) == nullptr) return allocate_in_new_block(bytes, align);
        next_ = static_cast<char*>(object) + bytes;
        return object;
    }

private:
    void* allocate_in_new_block(size_t bytes, size_t align);

    char* next_ = nullptr;  // with no block yet, both are null and nothing fits
    char* end_ = nullptr;
};

// The process's arena: made at load time, never destroyed.
PendingArena& pending_arena();

// Stateless, so that a control block made with it is no larger than one made
// by make_shared. Nothing is ever given back (see above).
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

// A contiguous tensor of this shape whose storage owns no memory yet, made in
// the arena: what the lazy add returns.
Tensor make_pending(const Shape& shape, Dtype dtype, Device device);

}  // namespace quarnel::detail
