// Chunks: the memory the graph keeps for its whole life (its nodes, and the
// bodies and storages of pending results) comes in 2 MiB regions aligned to
// their size, straight from the operating system. The alignment lets an
// object find the chunk that holds it from its own address, and lets the
// kernel back a chunk with one huge page instead of 512 small ones, each of
// which would otherwise cost a page fault on first touch.
#pragma once

#include <cstddef>

namespace quarnel::detail {

inline constexpr size_t CHUNK_BYTES = size_t{2} << 20;

// A CHUNK_BYTES region aligned to CHUNK_BYTES, its pages untouched (they read
// as zero). `huge` asks the kernel for huge pages, which pays off only for
// chunks that will be filled: a 2 MiB page is resident as a whole from its
// first touch. Throws std::bad_alloc when the system refuses.
void* map_chunk(bool huge);
// Gives a region from map_chunk back to the system.
void unmap_chunk(void* chunk) noexcept;

}  // namespace quarnel::detail
