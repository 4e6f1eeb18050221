#include "shape.h"

#include <stdexcept>

namespace quarnel {

Shape::Shape(const std::vector<uint64_t>& dims) : Shape(std::span<const uint64_t>(dims)) {}

Shape::Shape(std::span<const uint64_t> dims) {
    if (dims.size() > MAX_RANK) throw std::length_error("Shape: rank exceeds MAX_RANK");
    // A zero anywhere makes the count 0, so only a zero-free product can overflow.
    bool has_zero = false;
    for (uint64_t d : dims) has_zero |= (d == 0);
    if (!has_zero) {
        // Multiplication with an overflow flag rather than a division per
        // dimension: shapes are built on every tensor creation and view.
        uint64_t product = 1;
        for (uint64_t d : dims) {
            if (__builtin_mul_overflow(product, d, &product) || product > static_cast<uint64_t>(INT64_MAX)) {
                throw std::length_error("Shape: element count overflows int64");
            }
        }
    }
    rank_ = static_cast<uint8_t>(dims.size());
    for (size_t i = 0; i < dims.size(); ++i) dims_[i] = dims[i];
}

uint64_t Shape::numel() const {
    uint64_t n = 1;
    for (unsigned i = 0; i < rank_; ++i) n *= dims_[i];
    return n;
}

Strides::Strides(const std::vector<uint64_t>& strides) {
    if (strides.size() > MAX_RANK) throw std::length_error("Strides: rank exceeds MAX_RANK");
    rank_ = static_cast<uint8_t>(strides.size());
    for (size_t i = 0; i < strides.size(); ++i) strides_[i] = strides[i];
}

Strides Strides::contiguous_for(const Shape& shape) {
    Strides result;
    result.rank_ = static_cast<uint8_t>(shape.rank());
    uint64_t running = 1;
    for (int i = static_cast<int>(shape.rank()) - 1; i >= 0; --i) {
        result.strides_[static_cast<size_t>(i)] = running;
        running *= shape[i];
    }
    return result;
}

bool is_contiguous(const Shape& shape, const Strides& strides) {
    if (shape.rank() != strides.rank()) return false;
    uint64_t expected = 1;
    for (int i = static_cast<int>(shape.rank()) - 1; i >= 0; --i) {
        if (shape[i] == 1) continue;
        if (strides[i] != expected) return false;
        expected *= shape[i];
    }
    return true;
}

}  // namespace quarnel
