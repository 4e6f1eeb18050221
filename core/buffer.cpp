#include "core/buffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace quarnel {

namespace {

constexpr size_t ALIGNMENT = 16;
#ifdef MADV_HUGEPAGE
// From here on a block asks for huge pages: first touch then faults once per
// 2 MiB instead of 512 times, and a block of two pages or more wastes little
// of its last one.
constexpr size_t HUGE_FROM = size_t{4} << 20;
// A huge page: the block starts on one and spans whole ones, so that the
// kernel can back every part of it with them.
constexpr size_t HUGE_PAGE = size_t{2} << 20;
#endif

void require_cpu(Device device) {
    if (device != Device::CPU) throw std::runtime_error("Buffer: only CPU device is implemented");
}

// A block of `bytes` rounded up to `alignment`, aligned to it.
void* aligned_block(size_t bytes, size_t alignment) {
    // Rounding up would wrap to a block shorter than the request.
    if (bytes > SIZE_MAX - (alignment - 1)) throw std::bad_alloc();
    const size_t length = (bytes + alignment - 1) & ~(alignment - 1);
    void* block = nullptr;
    if (posix_memalign(&block, alignment, length) != 0 || block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: a block the kernel keeps on small pages is just as good.
    if (alignment == HUGE_PAGE) (void)madvise(block, length, MADV_HUGEPAGE);
#endif
    return block;
}

}  // namespace

Buffer::Buffer(size_t nbytes, Device device) : size_(nbytes), device_(device) {
    require_cpu(device);
    if (nbytes == 0) {
        return;
    }
#ifdef MADV_HUGEPAGE
    if (nbytes >= HUGE_FROM) {
        base_ = aligned_block(nbytes, HUGE_PAGE);
        return;
    }
#endif
    base_ = aligned_block(nbytes, ALIGNMENT);
}

Buffer::Buffer(Device device) : device_(device) { require_cpu(device); }

Buffer::~Buffer() {
    if (base_ != nullptr) std::free(base_);
}

Buffer::Buffer(Buffer&& other) noexcept
    : base_(other.base_), size_(other.size_), device_(other.device_) {
    other.base_ = nullptr;
    other.size_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (&other == this) return *this;
    if (base_ != nullptr) std::free(base_);
    base_ = other.base_;
    size_ = other.size_;
    device_ = other.device_;
    other.base_ = nullptr;
    other.size_ = 0;
    return *this;
}

}  // namespace quarnel
