// Shape and Strides: a tensor's geometry as two fixed-capacity inline lists,
// plain values that never touch the heap. Strides count elements, not bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace quarnel {

inline constexpr int MAX_RANK = 4;

class Shape {
public:
    Shape() = default;  // rank 0: a scalar with one element
    // Throws std::length_error for more than MAX_RANK entries, and when the
    // sizes (none of them 0) multiply past INT64_MAX, so numel() always fits
    // a signed 64-bit value.
    Shape(const std::vector<uint64_t>& dims);  // NOLINT(google-explicit-constructor)
    explicit Shape(std::span<const uint64_t> dims);
    // Member by member, never as a whole: a body keeps its producer link in a
    // shape's tail padding (see TensorImpl), and the graph writes that link
    // while other threads may be copying the body. A copy of the whole object
    // reads the padding too, which is a data race with that write.
    Shape(const Shape& other) noexcept : dims_(other.dims_), rank_(other.rank_) {}
    Shape& operator=(const Shape& other) noexcept {
        dims_ = other.dims_;
        rank_ = other.rank_;
        return *this;
    }

    unsigned rank() const { return rank_; }
    // No range check: 0 <= i < MAX_RANK; positions at or past rank() read 0.
    uint64_t operator[](int i) const { return dims_[static_cast<size_t>(i)]; }
    uint64_t numel() const;

private:
    std::array<uint64_t, MAX_RANK> dims_{};  // entries at and past rank_ are 0
    uint8_t rank_ = 0;                       // 0..MAX_RANK
};

class Strides {
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
bool is_contiguous(const Shape& shape, const Strides& strides);

}  // namespace quarnel
