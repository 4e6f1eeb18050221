#include "graph/pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace quarnel::detail {

void* map_chunk() {
    // mmap aligns to pages only: map twice the size, keep the aligned middle.
    const size_t span = 2 * CHUNK_BYTES;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + CHUNK_BYTES - 1) & ~(uintptr_t{CHUNK_BYTES} - 1);
    if (aligned > start) munmap(raw, aligned - start);
    if (const uintptr_t tail = start + span - (aligned + CHUNK_BYTES); tail > 0) {
        munmap(reinterpret_cast<void*>(aligned + CHUNK_BYTES), tail);
    }
    return reinterpret_cast<void*>(aligned);
}

void unmap_chunk(void* chunk) noexcept { munmap(chunk, CHUNK_BYTES); }

}  // namespace quarnel::detail
