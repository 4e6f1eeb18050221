#include "buffer.h"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace quarnel {

namespace {

constexpr size_t ALIGNMENT = 16;
constexpr size_t PAGE = 4096;
constexpr size_t HUGE_PAGE = size_t{2} << 20;

void require_cpu(Device device) {
    if (device != Device::CPU) throw std::runtime_error("Buffer: only CPU device is implemented");
}

// What a large block of `bytes` takes of the address space and, once
// written, of memory: whole pages, as malloc's own mapped blocks do.
size_t mapped_length(size_t bytes) { return (bytes + PAGE - 1) & ~(PAGE - 1); }

// A fresh mapping of `length` bytes that starts on a huge page, its whole
// huge pages advised as such: the first touch of each then costs one fault
// instead of 512. The pages after the last whole huge page stay small, so
// that a block keeps no more memory than its pages. Its bytes read as zero.
void* map_block(size_t length) {
    const size_t span = length + HUGE_PAGE;
    if (span < length) throw std::bad_alloc();
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t block = (start + HUGE_PAGE - 1) & ~(uintptr_t{HUGE_PAGE} - 1);
    if (block > start) munmap(raw, block - start);
    if (const uintptr_t tail = start + span - (block + length); tail > 0) {
        munmap(reinterpret_cast<void*>(block + length), tail);
    }
#ifdef MADV_HUGEPAGE
    // Advice only: a block the kernel keeps on small pages is just as good.
    if (const size_t huge = length / HUGE_PAGE * HUGE_PAGE; huge > 0) {
        (void)madvise(reinterpret_cast<void*>(block), huge, MADV_HUGEPAGE);
    }
#endif
    return reinterpret_cast<void*>(block);
}

// Large blocks released lately, kept for the next request of the same
// length: a loop that allocates, fills and drops a large tensor then reuses
// pages that are already there instead of faulting fresh ones in (which
// malloc's heap does for its blocks below 32 MiB), and little is held once
// everything is dropped. Buffers die on any thread, so a lock guards it; the
// object is never destroyed, so a buffer may die at any point of exit.
class ReleasedBlocks {
public:
    // A kept block of exactly `length` bytes, or null.
    void* take(size_t length) {
        const std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < count_; ++i) {
            if (blocks_[i].length != length) continue;
            void* base = blocks_[i].base;
            bytes_ -= length;
            for (size_t k = i + 1; k < count_; ++k) blocks_[k - 1] = blocks_[k];
            --count_;
            return base;
        }
        return nullptr;
    }
    // Keeps the block, giving back the oldest kept ones to make room, or
    // gives back the block itself when it is too large to keep.
    void give(void* base, size_t length) noexcept {
        if (length > MAX_BYTES) {
            munmap(base, length);
            return;
        }
        const std::lock_guard<std::mutex> hold(lock_);
        while (count_ == blocks_.size() || bytes_ + length > MAX_BYTES) {
            munmap(blocks_[0].base, blocks_[0].length);
            bytes_ -= blocks_[0].length;
            for (size_t k = 1; k < count_; ++k) blocks_[k - 1] = blocks_[k];
            --count_;
        }
        blocks_[count_++] = {base, length};
        bytes_ += length;
    }

private:
    static constexpr size_t MAX_BYTES = size_t{16} << 20;
    struct Block {
        void* base;
        size_t length;
    };
    std::mutex lock_;
    std::array<Block, 4> blocks_{};  // oldest first
    size_t count_ = 0;
    size_t bytes_ = 0;
};

constinit ReleasedBlocks released;
static_assert(std::is_trivially_destructible_v<ReleasedBlocks>);

}  // namespace

Buffer::Buffer(size_t nbytes, Device device) : Buffer(nbytes, device, false) {}

Buffer Buffer::zeroed(size_t nbytes, Device device) { return Buffer(nbytes, device, true); }

Buffer::Buffer(size_t nbytes, Device device, bool zeroed) : size_(nbytes), device_(device) {
    require_cpu(device);
    if (nbytes == 0) return;
    if (nbytes >= LARGE_FROM) {
        const size_t length = mapped_length(nbytes);
        if (length < nbytes) throw std::bad_alloc();
        if (void* kept = released.take(length)) {
            base_ = kept;
            if (zeroed) std::memset(base_, 0, length);
        } else {
            base_ = map_block(length);  // zero already
        }
        return;
    }
    // Rounding up would wrap to a block shorter than the request.
    const size_t length = (nbytes + ALIGNMENT - 1) & ~(ALIGNMENT - 1);
    if (posix_memalign(&base_, ALIGNMENT, length) != 0 || base_ == nullptr) {
        base_ = nullptr;
        throw std::bad_alloc();
    }
    if (zeroed) std::memset(base_, 0, nbytes);
}

Buffer::Buffer(Device device) : device_(device) { require_cpu(device); }

Buffer::~Buffer() { release(); }

Buffer::Buffer(Buffer&& other) noexcept : base_(other.base_), size_(other.size_), device_(other.device_) {
    other.base_ = nullptr;
    other.size_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (&other == this) return *this;
    release();
    base_ = other.base_;
    size_ = other.size_;
    device_ = other.device_;
    other.base_ = nullptr;
    other.size_ = 0;
    return *this;
}

void Buffer::release() noexcept {
    if (base_ == nullptr) return;
    if (size_ >= LARGE_FROM) {
        released.give(base_, mapped_length(size_));
    } else {
        std::free(base_);
    }
}

}  // namespace quarnel
