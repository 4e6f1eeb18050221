// Storage: the backing store shared by a tensor and all its views. It knows
// its element count, type and device from birth and may take its memory at
// once or on demand, which is what lets lazy results exist before their
// bytes do. Always held through a shared_ptr and never copied; once its
// buffer exists it keeps that buffer, so pointers from data() stay valid.
#pragma once

#include <cstddef>

#include <quarnel/export.h>

#include "buffer.h"
#include "dtype.h"

namespace quarnel {

class QUARNEL_EXPORT Storage {
public:
    Storage(size_t numel, Dtype dtype, Device device);
    // With allocate_now false nothing is validated and nothing is allocated.
    Storage(size_t numel, Dtype dtype, Device device, bool allocate_now);

    ~Storage() = default;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // numel x dtype_size. Throws std::invalid_argument "Unsupported Dtype"
    // first, then std::length_error when the product exceeds SIZE_MAX.
    size_t nbytes() const;
    // True when the storage has zero elements or owns a buffer.
    bool allocated() const;
    // Takes the memory if it is still missing; a failure leaves it unallocated.
    // A storage with a block had a valid byte count when it took it, so
    // checking the block first answers the same and costs no size check.
    void allocate() {
        if (buffer_.base() == nullptr) take_buffer();
    }
    // Allocates as a storage made with allocate_now does (checks included,
    // for zero bytes too), with every byte zero. Meant for a storage that
    // has no memory yet; one that has keeps it as it is.
    void allocate_zeroed();

    void* data() { return buffer_.base(); }
    const void* data() const { return buffer_.base(); }
    size_t numel() const { return numel_; }
    Dtype dtype() const { return dtype_; }
    Device device() const { return device_; }

private:
    void take_buffer();

    // Held by value, not through a shared block of its own: the storage is
    // the buffer's one owner, and every allocation saves a heap block and a
    // call. Empty (no block, on the CPU) until allocated; a buffer with a
    // block is never replaced.
    Buffer buffer_{Device::CPU};
    Dtype dtype_;
    Device device_;
    size_t numel_;
};

}  // namespace quarnel
