#include "core/buffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace quarnel {

namespace {

constexpr size_t ALIGNMENT = 16;

void require_cpu(Device device) {
    if (device != Device::CPU) throw std::runtime_error("Buffer: only CPU device is implemented");
}

}  // namespace

Buffer::Buffer(size_t nbytes, Device device) : size_(nbytes), device_(device) {
    require_cpu(device);
    if (nbytes == 0) {
        return;
    }
    // Rounding up would wrap to a block shorter than the request.
    if (nbytes > SIZE_MAX - (ALIGNMENT - 1)) throw std::bad_alloc();
    const size_t rounded = (nbytes + ALIGNMENT - 1) & ~(ALIGNMENT - 1);
    void* block = nullptr;
    if (posix_memalign(&block, ALIGNMENT, rounded) != 0 || block == nullptr) throw std::bad_alloc();
    base_ = block;
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
