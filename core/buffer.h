// Buffer: the one owner of raw tensor bytes. A single 16-byte-aligned host
// block, never initialised, released exactly once. Move-only so that a block
// can never have two owners; a storage holds its buffer and is itself shared.
//
// Blocks of LARGE_FROM bytes and more are mapped straight from the system
// rather than taken from the heap, where large blocks of other sizes, once
// freed, were neither reused nor given back. Such a block spans whole 4 KiB
// pages, starts on a 2 MiB boundary and has its whole 2 MiB pages advised as
// huge pages (first touch then costs one fault for each instead of 512), and
// goes back to the system when released, except that up to 16 MiB of
// recently released ones are kept for the next request of the same length.
#pragma once

#include <cstddef>

#include <quarnel/export.h>

#include "dtype.h"

namespace quarnel {

class QUARNEL_EXPORT Buffer {
public:
    // Throws std::runtime_error for any device but CPU (checked before the
    // byte count), std::bad_alloc when the platform refuses the block.
    Buffer(size_t nbytes, Device device);
    explicit Buffer(Device device);
    // The same with every byte zero. A block mapped fresh from the system
    // already is, so only blocks that come from elsewhere are written.
    static Buffer zeroed(size_t nbytes, Device device);

    static constexpr size_t LARGE_FROM = size_t{4} << 20;
    ~Buffer();

    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void* base() const { return base_; }
    size_t size() const { return size_; }  // as requested, not rounded
    Device device() const { return device_; }

private:
    Buffer(size_t nbytes, Device device, bool zeroed);
    void release() noexcept;

    void* base_ = nullptr;  // null exactly when size_ is 0; else 16-aligned (2 MiB from LARGE_FROM up)
    size_t size_ = 0;
    Device device_;  // always CPU: other devices are refused
};

}  // namespace quarnel
