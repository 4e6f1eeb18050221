// Contiguous copies. A contiguous source is one block copy; any other is
// walked in row-major order with the element width and the innermost stride
// fixed at compile time, after merging the dimensions that are laid out
// contiguously relative to each other, so that rows are as long as they can be.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tensor.h"

namespace quarnel {

namespace {

// A row this short is copied inline: calling memcpy would cost more than the
// copy itself.
constexpr uint64_t SHORT_ROW_BYTES = 64;
// Rows of a window into a wider storage lie apart, often a page apart, where
// the hardware prefetcher does not follow; the next row is requested while
// the current one is copied, up to this many bytes of it.
constexpr uint64_t PREFETCH_ROW_BYTES = 4096;
constexpr uint64_t CACHE_LINE = 64;

// 4 to 64 bytes in at most four fixed-size moves, the last of which may
// overlap the one before: no loop, which the compiler would turn back into
// a memcpy call.
inline void copy_short_row(unsigned char* __restrict d, const unsigned char* __restrict s, uint64_t bytes) {
    if (bytes >= 32) {
        std::memcpy(d, s, 16);
        std::memcpy(d + 16, s + 16, 16);
        std::memcpy(d + bytes - 32, s + bytes - 32, 16);
        std::memcpy(d + bytes - 16, s + bytes - 16, 16);
    } else if (bytes >= 16) {
        std::memcpy(d, s, 16);
        std::memcpy(d + bytes - 16, s + bytes - 16, 16);
    } else if (bytes >= 8) {
        std::memcpy(d, s, 8);
        std::memcpy(d + bytes - 8, s + bytes - 8, 8);
    } else if (bytes >= 4) {
        std::memcpy(d, s, 4);
        std::memcpy(d + bytes - 4, s + bytes - 4, 4);
    }
}

template <typename T>
[[gnu::always_inline]] inline void copy_row(T* dst, const T* src, uint64_t n, uint64_t step) {
    if (step == 1) {
        if (n * sizeof(T) <= SHORT_ROW_BYTES) {
            copy_short_row(reinterpret_cast<unsigned char*>(dst), reinterpret_cast<const unsigned char*>(src),
                           n * sizeof(T));
        } else {
            std::memcpy(dst, src, n * sizeof(T));
        }
    } else if (step == 0) {
        std::fill_n(dst, n, *src);
    } else if (step == 2) {
        // Every other element (one part of interleaved pairs) is common
        // enough to earn a loop whose constant stride the compiler vectorises.
        for (uint64_t i = 0; i < n; ++i) dst[i] = src[2 * i];
    } else {
        for (uint64_t i = 0; i < n; ++i, src += step) dst[i] = *src;
    }
}

void prefetch(const void* start, uint64_t bytes) {
    const auto* p = static_cast<const unsigned char*>(start);
    for (uint64_t i = 0; i < bytes; i += CACHE_LINE) __builtin_prefetch(p + i, 0, 3);
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
    // Only rows read in one stream (step 1) that are long enough to be worth it.
    const uint64_t ahead =
        step == 1 && row * sizeof(T) > SHORT_ROW_BYTES ? std::min<uint64_t>(row * sizeof(T), PREFETCH_ROW_BYTES) : 0;
    if (rank == 2) {
        // One outer dimension, the usual window: no counters to keep, and
        // rows of 8 or 16 bytes get a loop of single moves.
        const uint64_t outer = steps[0];
        const auto each_row = [&](auto&& copy) {
            for (uint64_t r = 0, position = 0; r < rows; ++r, dst += row, position += outer) copy(dst, src + position);
        };
        const uint64_t row_bytes = row * sizeof(T);
        if (step == 1 && row_bytes == 16) {
            each_row([](T* d, const T* s) { std::memcpy(d, s, 16); });
        } else if (step == 1 && row_bytes == 8) {
            each_row([](T* d, const T* s) { std::memcpy(d, s, 8); });
        } else if (ahead != 0) {
            uint64_t r = 0;
            each_row([&](T* d, const T* s) {
                if (++r < rows) prefetch(s + outer, ahead);
                std::memcpy(d, s, row_bytes);
            });
        } else {
            each_row([&](T* d, const T* s) { copy_row(d, s, row, step); });
        }
        return;
    }
    uint64_t counter[MAX_RANK] = {};
    uint64_t position = 0;
    for (uint64_t r = 0; r < rows; ++r, dst += row) {
        const uint64_t current = position;
        for (int k = rank - 2; k >= 0; --k) {
            position += steps[k];
            if (++counter[k] < sizes[k]) break;
            position -= sizes[k] * steps[k];
            counter[k] = 0;
        }
        if (ahead != 0 && r + 1 < rows) prefetch(src + position, ahead);
        copy_row(dst, src + current, row, step);
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
        return copy;
    }
    // Elements are read and written as what they are: loads of another type
    // would break the aliasing rules, which a compiler may rely on.
    const auto walk = [&](auto element) {
        using T = decltype(element);
        strided_copy(static_cast<T*>(dst), reinterpret_cast<const T*>(start), src.shape(), src.strides());
    };
    switch (src.dtype()) {
        case Dtype::FLOAT32: walk(float{}); break;
        case Dtype::INT32: walk(int32_t{}); break;
        case Dtype::FLOAT64: walk(double{}); break;
        case Dtype::INT64: walk(int64_t{}); break;
    }
    return copy;
}

}  // namespace quarnel
