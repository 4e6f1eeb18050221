#include "dtype.h"

#include <stdexcept>
#include <type_traits>

namespace quarnel {

namespace {

constexpr const char* DEVICE_NAMES[] = {"cpu", "cuda", "hip"};
constexpr const char* DTYPE_NAMES[] = {"fp32", "i32", "f64", "i64"};
constexpr size_t DTYPE_SIZES[] = {4, 4, 8, 8};

// The comparison is unsigned, so a negative Device value is rejected like 3.
template <typename E, size_t N>
size_t checked_index(E value, const char* message) {
    const auto index = static_cast<std::make_unsigned_t<std::underlying_type_t<E>>>(value);
    if (index >= N) throw std::invalid_argument(message);
    return index;
}

}  // namespace

const char* to_string(Device device) { return DEVICE_NAMES[checked_index<Device, 3>(device, "Unsupported device")]; }

const char* to_string(Dtype dtype) { return DTYPE_NAMES[checked_index<Dtype, 4>(dtype, "Unsupported Dtype")]; }

size_t dtype_size(Dtype dtype) { return DTYPE_SIZES[checked_index<Dtype, 4>(dtype, "Unsupported Dtype")]; }

}  // namespace quarnel
