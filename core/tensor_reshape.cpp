// Dimension lists with one inferred -1, and the view and reshape built on them.
#include <array>
#include <climits>
#include <span>
#include <stdexcept>
#include <string>

#include "tensor.h"

namespace quarnel {

void bad_reshape(const char* message) { throw std::invalid_argument(std::string("view/reshape: ") + message); }

long long infer_dim(long long total, long long known) {
    if (known == 0) {
        if (total != 0) bad_reshape("cannot infer dimension");
        return 0;
    }
    // The one quotient that does not fit: it cannot be a dimension either.
    if (known == -1 && total == LLONG_MIN) bad_reshape("numel is not divisible by known dims");
    if (total % known != 0) bad_reshape("numel is not divisible by known dims");
    return total / known;
}

Shape resolve_shape(long long total, const std::vector<long long>& dims) {
    if (dims.size() > MAX_RANK) throw std::length_error("Shape: rank exceeds MAX_RANK");
    if (dims.empty()) {
        if (total != 1) bad_reshape("numel mismatch");
        return Shape();
    }
    // The product of the known sizes is judged exactly: a 0 makes it 0, and
    // otherwise it is either exact or known to exceed LLONG_MAX.
    long long product = 1;
    bool has_zero = false;
    bool too_big = false;
    int inferred = -1;
    for (size_t i = 0; i < dims.size(); ++i) {
        const long long d = dims[i];
        if (d == -1) {
            if (inferred >= 0) bad_reshape("only one -1 dimension allowed");
            inferred = static_cast<int>(i);
        } else if (d < 0) {
            bad_reshape("dimensions must be >= 0 or -1");
        } else if (d == 0) {
            has_zero = true;
        } else if (!too_big && __builtin_mul_overflow(product, d, &product)) {
            too_big = true;
        }
    }
    if (has_zero) {
        product = 0;
        too_big = false;
    }

    std::array<uint64_t, MAX_RANK> sizes{};
    for (size_t i = 0; i < dims.size(); ++i) sizes[i] = static_cast<uint64_t>(dims[i]);
    if (inferred >= 0) {
        // A known product past LLONG_MAX divides no total but 0.
        long long size = 0;
        if (too_big) {
            if (total != 0) bad_reshape("numel is not divisible by known dims");
        } else {
            size = infer_dim(total, product);
        }
        sizes[static_cast<size_t>(inferred)] = static_cast<uint64_t>(size);
    } else if (too_big || product != total) {
        bad_reshape("numel mismatch");
    }
    return Shape(std::span<const uint64_t>(sizes.data(), dims.size()));
}

TensorImpl TensorImpl::contiguous_view(const Shape& shape) const {
    // A contiguous source covers [offset, offset + numel) of its storage, and
    // so does any contiguous layout of the same count: no bounds to check.
    return TensorImpl(Trusted{}, storage_, shape, Strides::contiguous_for(shape), offset_);
}

TensorImpl TensorImpl::view(const std::vector<long long>& dims) const {
    const Shape shape = resolve_shape(static_cast<long long>(numel()), dims);
    if (!is_contiguous()) throw std::invalid_argument("view: tensor is not contiguous");
    return contiguous_view(shape);
}

TensorImpl TensorImpl::reshape(const std::vector<long long>& dims) const {
    const Shape shape = resolve_shape(static_cast<long long>(numel()), dims);
    if (is_contiguous()) return contiguous_view(shape);
    return copy_contiguous_impl(*this).contiguous_view(shape);
}

}  // namespace quarnel
