// Chunks: the memory the graph keeps for its whole life (its nodes, and the
// bodies and storages of pending results) comes in 2 MiB regions aligned to
// their size, straight from the operating system. The alignment lets an
// object find the chunk that holds it from its own address, and lets a
// kernel that backs all memory with huge pages do so here too.
//
// The chunks are not advised to be huge pages: the graph grows a few hundred
// bytes at a time and never gives memory back, and on virtual machines that
// return free 2 MiB blocks to their host, every new huge page then comes
// from memory the host must back anew, which made recording measurably
// slower (about twice, in half of the runs) than small pages that the guest
// recycles.
#pragma once

#include <cstddef>

namespace quarnel::detail {

inline constexpr size_t CHUNK_BYTES = size_t{2} << 20;

// A CHUNK_BYTES region aligned to CHUNK_BYTES, its pages untouched (they read
// as zero). Throws std::bad_alloc when the system refuses.
void* map_chunk();
// Gives a region from map_chunk back to the system.
void unmap_chunk(void* chunk) noexcept;

}  // namespace quarnel::detail
