// Pending results: the body and the storage of every lazy result are kept by
// the graph for the life of the process, so they are carved one after the
// other out of graph-owned chunks instead of taking two heap blocks each.
// That saves the allocator's headers and calls, and keeps results that were
// recorded together next to each other for the walks.
//
// A result may outlive the graph (a handle held elsewhere at exit), so each
// chunk counts the objects still alive in it and gives itself back when the
// last one dies, whichever thread drops it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/tensor.h"

namespace quarnel::detail {

class PendingArena {
public:
    PendingArena() = default;
    ~PendingArena();
    PendingArena(const PendingArena&) = delete;
    PendingArena& operator=(const PendingArena&) = delete;

    // Aligned to `align` (at most 16). Callers are serialised, as all
    // recording is; throws std::bad_alloc when no chunk can be had.
    void* allocate(size_t bytes, size_t align) {
        // With no chunk open, next_ and end_ are null and nothing fits.
        const uintptr_t object = (reinterpret_cast<uintptr_t>(next_) + align - 1) & ~(align - 1);
        if (bytes > MAX_OBJECT || object + bytes > reinterpret_cast<uintptr_t>(end_)) {
            return allocate_in_new_chunk(bytes, align);
        }
        next_ = reinterpret_cast<char*>(object + bytes);
        ++served_;
        return reinterpret_cast<void*>(object);
    }
    // Any thread, any time, also after the arena itself is gone.
    static void release(void* object) noexcept;

private:
    static constexpr size_t MAX_OBJECT = 4096;

    void* allocate_in_new_chunk(size_t bytes, size_t align);
    void open_chunk();
    void retire_chunk() noexcept;

    void* chunk_ = nullptr;  // the chunk being filled; others live on by their counts
    char* next_ = nullptr;
    char* end_ = nullptr;
    uint64_t served_ = 0;    // objects handed out from chunk_
};

// The arena of the process-wide graph (defined in graph/graph.h).
inline PendingArena& pending_arena();

// Stateless, so that a control block made with it is no larger than one made
// by make_shared.
template <typename T>
struct PendingAllocator {
    using value_type = T;
    PendingAllocator() = default;
    template <typename U>
    PendingAllocator(const PendingAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
    T* allocate(size_t n) { return static_cast<T*>(pending_arena().allocate(n * sizeof(T), alignof(T))); }
    void deallocate(T* object, size_t) noexcept { PendingArena::release(object); }
    template <typename U>
    bool operator==(const PendingAllocator<U>&) const noexcept { return true; }
};

// A contiguous tensor of this shape whose storage owns no memory yet, made in
// the arena: what the lazy add returns.
Tensor make_pending(const Shape& shape, Dtype dtype, Device device);

}  // namespace quarnel::detail
