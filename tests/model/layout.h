// The model of a layout over a storage, written the plain way: which storage
// positions it addresses and in what order, whether it is densely packed,
// and the strides of a packed one. The C++ tests and the fuzz targets check
// the library against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarnel::model {

using List = std::vector<uint64_t>;

// Element counts judged exactly: products in 128 bits, saturated at COUNT_CAP,
// which stands for every count far past 2^64.
__extension__ typedef unsigned __int128 Count;
inline constexpr Count COUNT_CAP = Count{1} << 100;

inline Count product(Count a, Count b) {
    if (a == 0 || b == 0) return 0;
    if (a >= COUNT_CAP || b >= COUNT_CAP || a > COUNT_CAP / b) return COUNT_CAP;
    return a * b;
}

inline Count count(const List& shape) {
    Count n = 1;
    for (uint64_t size : shape) n = product(n, size);
    return n;
}

// Row-major strides: each the product of the sizes inside it, modulo 2^64 as
// strides are (only a shape with a 0 further out can exceed that, and it
// addresses nothing).
inline List row_major(const List& shape) {
    List strides(shape.size());
    uint64_t inner = 1;
    for (size_t i = shape.size(); i-- > 0;) {
        strides[i] = inner;
        inner *= shape[i];
    }
    return strides;
}

// Densely packed: ignoring size-1 dimensions, each stride is the product of
// the sizes inside it; a rank mismatch never is.
inline bool contiguous(const List& shape, const List& strides) {
    if (shape.size() != strides.size()) return false;
    uint64_t inner = 1;
    for (size_t i = shape.size(); i-- > 0;) {
        if (shape[i] == 1) continue;
        if (strides[i] != inner) return false;
        inner *= shape[i];
    }
    return true;
}

// The storage position of every element in row-major order, each computed
// from its multi-index afresh. Strides past their rank count 0.
inline List positions(const List& shape, const List& strides, uint64_t offset) {
    uint64_t count = 1;
    for (uint64_t size : shape) count *= size;
    List out;
    out.reserve(count);
    List index(shape.size(), 0);
    for (uint64_t n = 0; n < count; ++n) {
        uint64_t position = offset;
        for (size_t k = 0; k < index.size(); ++k) position += index[k] * (k < strides.size() ? strides[k] : 0);
        out.push_back(position);
        for (size_t k = index.size(); k-- > 0;) {
            if (++index[k] < shape[k]) break;
            index[k] = 0;
        }
    }
    return out;
}

// What a contiguous copy holds: the elements of `width` bytes at those
// positions of `storage`, one after the other.
inline std::vector<unsigned char> gather(const unsigned char* storage, const List& at, size_t width) {
    std::vector<unsigned char> out;
    out.reserve(at.size() * width);
    for (uint64_t position : at) out.insert(out.end(), storage + position * width, storage + (position + 1) * width);
    return out;
}

}  // namespace quarnel::model
