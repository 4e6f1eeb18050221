#include "storage.h"

#include <cstdint>
#include <stdexcept>

namespace quarnel {

Storage::Storage(size_t numel, Dtype dtype, Device device) : Storage(numel, dtype, device, true) {}

Storage::Storage(size_t numel, Dtype dtype, Device device, bool allocate_now)
    : dtype_(dtype), device_(device), numel_(numel) {
    // Also for zero bytes: the buffer's device check applies all the same.
    if (allocate_now) buffer_ = Buffer(nbytes(), device_);
}

size_t Storage::nbytes() const {
    size_t bytes = 0;
    if (__builtin_mul_overflow(numel_, dtype_size(dtype_), &bytes)) {
        throw std::length_error("Storage: byte count overflows size_t");
    }
    return bytes;
}

bool Storage::allocated() const {
    (void)dtype_size(dtype_);  // an unknown element type fails here too, as nbytes() would
    return numel_ == 0 || buffer_.base() != nullptr;
}

void Storage::allocate_zeroed() {
    const size_t bytes = nbytes();
    if (buffer_.base() == nullptr) buffer_ = Buffer::zeroed(bytes, device_);
}

void Storage::take_buffer() {
    const size_t bytes = nbytes();
    if (bytes == 0) return;
    buffer_ = Buffer(bytes, device_);
}

}  // namespace quarnel
