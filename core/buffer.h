// Buffer: the one owner of raw tensor bytes. A single 16-byte-aligned host
// block, never initialised, released exactly once. Move-only so that a block
// can never have two owners; a storage holds its buffer and is itself shared.
// Blocks of 4 MiB and more start on a 2 MiB boundary, span whole 2 MiB pages
// and are advised as huge pages where the platform has them: each such page
// then costs one fault on first touch instead of 512.
#pragma once

#include <cstddef>

#include "core/dtype.h"

namespace quarnel {

class Buffer {
public:
    // Throws std::runtime_error for any device but CPU (checked before the
    // byte count), std::bad_alloc when the platform refuses the block.
    Buffer(size_t nbytes, Device device);
    explicit Buffer(Device device);
    ~Buffer();

    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void* base() const { return base_; }
    size_t size() const { return size_; }  // as requested, not rounded
    Device device() const { return device_; }

private:
    void* base_ = nullptr;  // null exactly when size_ is 0; else 16-aligned (2 MiB from 4 MiB up)
    size_t size_ = 0;
    Device device_;  // always CPU: other devices are refused
};

}  // namespace quarnel
