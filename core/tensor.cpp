#include "tensor.h"

#include <cstring>
#include <vector>

#include <stdexcept>
#include <utility>

namespace quarnel {

namespace {

// Offset of the last addressed element, or false when it does not fit 64 bits.
bool last_element(const Shape& shape, const Strides& strides, uint64_t offset, uint64_t* last) {
    uint64_t position = offset;
    for (int k = 0; k < static_cast<int>(shape.rank()); ++k) {
        uint64_t step = 0;
        if (__builtin_mul_overflow(shape[k] - 1, strides[k], &step)) return false;
        if (__builtin_add_overflow(position, step, &position)) return false;
    }
    *last = position;
    return true;
}

}  // namespace

TensorImpl::TensorImpl(const Shape& shape, Dtype dtype, Device device) : TensorImpl(shape, dtype, device, true) {}

TensorImpl::TensorImpl(const Shape& shape, Dtype dtype, Device device, bool allocate_now)
    : storage_(std::make_shared<Storage>(shape.numel(), dtype, device, allocate_now)),
      offset_(0),
      strides_(Strides::contiguous_for(shape)),
      shape_(shape) {}

TensorImpl::TensorImpl(std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, unsigned long offset)
    : storage_(std::move(storage)), offset_(offset), strides_(strides), shape_(shape) {
    if (!storage_) throw std::invalid_argument("TensorImpl: null storage");
    if (shape_.numel() == 0) return;
    uint64_t last = 0;
    if (!last_element(shape_, strides_, offset_, &last) || last >= storage_->numel()) {
        throw std::invalid_argument("TensorImpl: elements out of storage bounds");
    }
}

TensorImpl::TensorImpl(Trusted, std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, uint64_t offset)
    : storage_(std::move(storage)), offset_(offset), strides_(strides), shape_(shape) {}

Tensor::Tensor(const Shape& shape, Dtype dtype, Device device)
    : impl_(std::make_shared<TensorImpl>(shape, dtype, device, true)) {}

Tensor::Tensor(const Shape& shape, Dtype dtype, Device device, bool allocate_now)
    : impl_(std::make_shared<TensorImpl>(shape, dtype, device, allocate_now)) {}

Tensor::Tensor(std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, unsigned long offset)
    : impl_(std::make_shared<TensorImpl>(std::move(storage), shape, strides, offset)) {}

Tensor::Tensor(std::shared_ptr<TensorImpl> impl) : impl_(std::move(impl)) {
    if (!impl_) throw std::invalid_argument("Tensor: null TensorImpl");
}

Tensor Tensor::zeros(const Shape& shape, Dtype dtype, Device device) {
    Tensor t(shape, dtype, device, false);
    t.storage()->allocate_zeroed();
    return t;
}

Tensor Tensor::ones(const Shape& shape, Dtype dtype, Device device) {
    Tensor t(shape, dtype, device, true);
    fill_ones(t.storage()->data(), dtype, t.numel());
    return t;
}

namespace {

// The 16-byte pattern (four 4-byte or two 8-byte copies of the value) is two
// equal 8-byte words, so the fill stores it a word at a time. Large fills use
// the string store, which the processor runs at memset's speed, where the
// loop below, compiled to 16-byte stores, falls well short of it in cache.
void fill_words(unsigned char* out, uint64_t word, size_t words) {
#if defined(__x86_64__)
    if (words >= 256) {  // below this the string store's start-up cost shows
        asm volatile("rep stosq" : "+D"(out), "+c"(words) : "a"(word) : "memory");
        return;
    }
#endif
    for (size_t i = 0; i < words; ++i) std::memcpy(out + i * 8, &word, 8);
}

template <typename T>
void fill_value(void* data, T value, long long count) {
    static_assert(8 % sizeof(T) == 0);
    uint64_t word = 0;
    auto* word_bytes = reinterpret_cast<unsigned char*>(&word);
    for (size_t i = 0; i < 8 / sizeof(T); ++i) std::memcpy(word_bytes + i * sizeof(T), &value, sizeof(T));
    auto* out = static_cast<unsigned char*>(data);
    const size_t nbytes = static_cast<size_t>(count) * sizeof(T);
    fill_words(out, word, nbytes / 8);
    // A 4-byte element may be left over; the word starts with a whole one.
    std::memcpy(out + nbytes / 8 * 8, &word, nbytes % 8);
}

}  // namespace

void fill_ones(void* data, Dtype dtype, long long count) {
    if (data == nullptr || count == 0) return;
    switch (dtype) {
        case Dtype::FLOAT32:
            if (count > 0) fill_value<float>(data, 1.0F, count);
            return;
        case Dtype::INT32:
            if (count > 0) fill_value<int32_t>(data, 1, count);
            return;
        case Dtype::FLOAT64:
            if (count > 0) fill_value<double>(data, 1.0, count);
            return;
        case Dtype::INT64:
            if (count > 0) fill_value<int64_t>(data, 1, count);
            return;
    }
    throw std::invalid_argument("Unsupported Dtype");
}

TensorImpl TensorImpl::contiguous() const {
    if (is_contiguous()) return *this;
    return copy_contiguous_impl(*this);
}

Tensor Tensor::contiguous() const {
    if (impl_->is_contiguous()) return *this;
    return Tensor(std::make_shared<TensorImpl>(copy_contiguous_impl(*impl_)));
}

Tensor Tensor::view(const std::vector<long long>& dims) const {
    return Tensor(std::make_shared<TensorImpl>(impl_->view(dims)));
}

Tensor Tensor::reshape(const std::vector<long long>& dims) const {
    return Tensor(std::make_shared<TensorImpl>(impl_->reshape(dims)));
}

}  // namespace quarnel
