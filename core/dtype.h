// Device and element type: the two closed enumerations every tensor carries,
// with their short text names and element widths.
#pragma once

#include <cstddef>
#include <cstdint>

#include <quarnel/export.h>

namespace quarnel {

enum class Device : int32_t { CPU = 0, CUDA = 1, HIP = 2 };

enum class Dtype : uint8_t { FLOAT32 = 0, INT32 = 1, FLOAT64 = 2, INT64 = 3 };

// Static names ("cpu", "fp32", ...); the pointers stay valid for the process.
// Throw std::invalid_argument for a value that names no enumerator.
QUARNEL_EXPORT const char* to_string(Device device);
QUARNEL_EXPORT const char* to_string(Dtype dtype);

// Bytes of one element; std::invalid_argument "Unsupported Dtype" otherwise.
QUARNEL_EXPORT size_t dtype_size(Dtype dtype);

}  // namespace quarnel
