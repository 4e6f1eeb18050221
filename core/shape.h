// Shape and Strides: a tensor's geometry as two fixed-capacity inline lists,
// plain values that never touch the heap. Strides count elements, not bytes.
#pragma once

// The first of the public headers to need C++20 (std::span), and every path
// to the others passes through it: say so before the compiler trips on it.
#if __cplusplus < 202002L
#error "quarnel needs C++20: compile with -std=c++20 or newer"
#endif

#include <array>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include <quarnel/export.h>

namespace quarnel {

inline constexpr int MAX_RANK = 4;

class QUARNEL_EXPORT Shape {
public:
    Shape() = default;  // rank 0: a scalar with one element
    // Throws std::length_error for more than MAX_RANK entries, and when the
    // sizes (none of them 0) multiply past INT64_MAX, so numel() always fits
    // a signed 64-bit value.
    Shape(const std::vector<uint64_t>& dims);  // NOLINT(google-explicit-constructor)
    explicit Shape(std::span<const uint64_t> dims);
    unsigned rank() const { return rank_; }
    // No range check: 0 <= i < MAX_RANK; positions at or past rank() read 0.
    uint64_t operator[](int i) const { return dims_[static_cast<size_t>(i)]; }
    uint64_t numel() const;

private:
    std::array<uint64_t, MAX_RANK> dims_{};  // entries at and past rank_ are 0
    uint8_t rank_ = 0;                       // 0..MAX_RANK
};

class QUARNEL_EXPORT Strides {
public:
    Strides() = default;
    // Throws std::length_error for more than MAX_RANK entries.
    Strides(const std::vector<uint64_t>& strides);  // NOLINT(google-explicit-constructor)

    unsigned rank() const { return rank_; }
    // No range check: 0 <= i < MAX_RANK; positions at or past rank() read 0.
    uint64_t operator[](int i) const { return strides_[static_cast<size_t>(i)]; }

    // Row-major strides: innermost 1, each outer one the product of the sizes inside it.
    static Strides contiguous_for(const Shape& shape);

private:
    std::array<uint64_t, MAX_RANK> strides_{};  // entries at and past rank_ are 0
    uint8_t rank_ = 0;                          // 0..MAX_RANK
};

// Densely packed row-major? Size-1 dimensions may hold any stride; a rank
// mismatch between the two is never contiguous.
QUARNEL_EXPORT bool is_contiguous(const Shape& shape, const Strides& strides);

// Plain values: copied as a whole, never through code of their own.
static_assert(std::is_trivially_copyable_v<Shape> && std::is_trivially_copyable_v<Strides>);

}  // namespace quarnel
