// Contiguous copies. A contiguous source is one block copy; any other is
// walked in row-major order with the element width and the innermost stride
// fixed at compile time, after merging the dimensions that are laid out
// contiguously relative to each other, so that rows are as long as they can be.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/tensor.h"

namespace quarnel {

namespace {

template <typename T>
void copy_row(T* dst, const T* src, uint64_t n, uint64_t step) {
    if (step == 1) {
        std::memcpy(dst, src, n * sizeof(T));
    } else if (step == 0) {
        std::fill_n(dst, n, *src);
    } else {
        for (uint64_t i = 0; i < n; ++i, src += step) dst[i] = *src;
    }
}

// Copies the elements that (shape, strides) address from src into dst in
// row-major order; the result equals the element-by-element walk.
template <typename T>
void strided_copy(T* dst, const T* src, const Shape& shape, const Strides& strides) {
    uint64_t sizes[MAX_RANK];
    uint64_t steps[MAX_RANK];
    int rank = 0;
    for (int k = 0; k < static_cast<int>(shape.rank()); ++k) {
        if (shape[k] == 1) continue;  // never moves the position
        if (rank > 0 && steps[rank - 1] == shape[k] * strides[k]) {
            sizes[rank - 1] *= shape[k];
            steps[rank - 1] = strides[k];
        } else {
            sizes[rank] = shape[k];
            steps[rank] = strides[k];
            ++rank;
        }
    }
    if (rank == 0) {
        *dst = *src;
        return;
    }
    const uint64_t row = sizes[rank - 1];
    const uint64_t step = steps[rank - 1];
    const uint64_t rows = shape.numel() / row;
    uint64_t counter[MAX_RANK] = {};
    uint64_t position = 0;
    for (uint64_t r = 0; r < rows; ++r, dst += row) {
        copy_row(dst, src + position, row, step);
        for (int k = rank - 2; k >= 0; --k) {
            position += steps[k];
            if (++counter[k] < sizes[k]) break;
            position -= sizes[k] * steps[k];
            counter[k] = 0;
        }
    }
}

}  // namespace

TensorImpl copy_contiguous_impl(const TensorImpl& src) {
    if (!src.allocated()) throw std::logic_error("copy_contiguous: source has no allocation yet");
    TensorImpl copy(src.shape(), src.dtype(), src.device(), true);
    const uint64_t n = src.numel();
    if (n == 0) return copy;

    const size_t width = dtype_size(src.dtype());
    void* dst = copy.storage()->data();
    const auto* start = static_cast<const unsigned char*>(src.storage()->data()) + src.offset() * width;
    if (src.is_contiguous()) {
        std::memcpy(dst, start, n * width);
    } else if (width == 4) {
        strided_copy(static_cast<uint32_t*>(dst), reinterpret_cast<const uint32_t*>(start), src.shape(),
                     src.strides());
    } else {
        strided_copy(static_cast<uint64_t*>(dst), reinterpret_cast<const uint64_t*>(start), src.shape(),
                     src.strides());
    }
    return copy;
}

}  // namespace quarnel
