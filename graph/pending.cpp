#include "graph/pending.h"

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "graph/graph.h"
#include "graph/pages.h"

namespace quarnel::detail {

namespace {

// At the start of every chunk: the number of objects in it still alive.
// While the arena fills a chunk, the count also holds OPEN_CHARGE on the
// arena's behalf, so handing out an object needs no atomic operation and a
// release can never see zero early; retiring the chunk takes back the part
// of the charge that no object used.
struct alignas(64) ChunkHeader {
    std::atomic<uint64_t> live;
};
constexpr uint64_t OPEN_CHARGE = uint64_t{1} << 62;
constexpr size_t FIRST_OBJECT = sizeof(ChunkHeader);

ChunkHeader* header_of(void* object) {
    const auto address = reinterpret_cast<uintptr_t>(object);
    return reinterpret_cast<ChunkHeader*>(address & ~(uintptr_t{CHUNK_BYTES} - 1));
}

void drop(ChunkHeader* header, uint64_t count) noexcept {
    if (header->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        header->~ChunkHeader();
        unmap_chunk(header);
    }
}

}  // namespace

PendingArena::~PendingArena() { retire_chunk(); }

void* PendingArena::allocate_in_new_chunk(size_t bytes, size_t align) {
    if (bytes == 0 || bytes > MAX_OBJECT || align > 16) throw std::bad_alloc();
    open_chunk();
    return allocate(bytes, align);
}

void PendingArena::release(void* object) noexcept { drop(header_of(object), 1); }

void PendingArena::open_chunk() {
    void* chunk = map_chunk();
    retire_chunk();
    new (chunk) ChunkHeader{OPEN_CHARGE};
    chunk_ = chunk;
    next_ = static_cast<char*>(chunk) + FIRST_OBJECT;
    end_ = static_cast<char*>(chunk) + CHUNK_BYTES;
    served_ = 0;
}

void PendingArena::retire_chunk() noexcept {
    if (chunk_ == nullptr) return;
    drop(static_cast<ChunkHeader*>(chunk_), OPEN_CHARGE - served_);
    chunk_ = nullptr;
    next_ = end_ = nullptr;
}

Tensor make_pending(const Shape& shape, Dtype dtype, Device device) {
    auto storage = std::allocate_shared<Storage>(PendingAllocator<Storage>(), shape.numel(), dtype, device, false);
    return Tensor(std::allocate_shared<TensorImpl>(PendingAllocator<TensorImpl>(), TensorImpl::Trusted(),
                                                   std::move(storage), shape, Strides::contiguous_for(shape), 0UL));
}

}  // namespace quarnel::detail
