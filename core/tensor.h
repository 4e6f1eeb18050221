// TensorImpl and Tensor: the tensor body and the handle that shares it.
//
// A body says which storage a tensor reads, where its first element lies and
// how its shape and strides walk that storage; element type and device are
// the storage's. A handle is one shared_ptr to a body, and the body's address
// is the tensor's identity (the graph finds producers by it). Views and
// reshapes are new bodies over the same storage, so allocating any of them
// allocates the memory that all of them see.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/storage.h"

namespace quarnel {

class Graph;
class Tensor;
namespace detail {
Tensor make_pending(const Shape& shape, Dtype dtype, Device device);
}

class TensorImpl {
public:
    TensorImpl(const Shape& shape, Dtype dtype, Device device);
    TensorImpl(const Shape& shape, Dtype dtype, Device device, bool allocate_now);
    // Any layout over an existing storage. Throws std::invalid_argument for a
    // null storage, and when some addressed element lies outside it, so every
    // body that exists can be walked safely.
    TensorImpl(std::shared_ptr<Storage> storage, const Shape& shape, Strides strides,
               unsigned long offset);
    // The same without the bounds check, for the library's own layouts, whose
    // elements provably lie in the storage: only code holding the key can
    // make one.
    class Trusted {
        Trusted() = default;
        friend class TensorImpl;
        friend Tensor detail::make_pending(const Shape& shape, Dtype dtype, Device device);
    };
    TensorImpl(Trusted, std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, uint64_t offset);

    const Shape& shape() const { return shape_; }
    const Strides& strides() const { return strides_; }
    uint64_t offset() const { return offset_; }
    const std::shared_ptr<Storage>& storage() const { return storage_; }
    Dtype dtype() const { return storage_->dtype(); }
    Device device() const { return storage_->device(); }
    uint64_t numel() const { return shape_.numel(); }
    bool is_contiguous() const { return quarnel::is_contiguous(shape_, strides_); }
    bool allocated() const { return storage_->allocated(); }
    void allocate() { storage_->allocate(); }

    // This body (sharing its storage) when contiguous, else a new contiguous copy.
    TensorImpl contiguous() const;
    // Same storage and offset under a new shape; the source must be contiguous.
    TensorImpl view(const std::vector<long long>& dims) const;
    // A view when contiguous, else a view of a contiguous copy.
    TensorImpl reshape(const std::vector<long long>& dims) const;

private:
    TensorImpl contiguous_view(const Shape& shape) const;

    // The id of the node that produced this body, kept by Graph so that
    // finding a producer is one read of the body instead of a lookup in an
    // index that outgrows the caches (see graph/graph.h). A copy of a body is
    // a new tensor that nothing produced, so copying starts the link empty
    // and assigning leaves the target's own.
    friend class Graph;
    struct ProducerLink {
        static constexpr uint32_t NONE = UINT32_MAX;
        uint32_t node = NONE;
        ProducerLink() = default;
        ProducerLink(const ProducerLink&) noexcept {}
        ProducerLink& operator=(const ProducerLink&) noexcept { return *this; }
    };

    std::shared_ptr<Storage> storage_;
    uint64_t offset_;   // elements, not bytes
    Strides strides_;   // elements, not bytes
    // The link lives in the shape's tail padding, so it costs a body no bytes.
    [[no_unique_address]] Shape shape_;
    ProducerLink producer_;
};
#if defined(__x86_64__) || defined(__aarch64__)
static_assert(sizeof(TensorImpl) == 104, "the producer link must stay in the shape's padding");
#endif

class Tensor {
public:
    // Allocated at once; the elements are not initialised.
    Tensor(const Shape& shape, Dtype dtype, Device device);
    Tensor(const Shape& shape, Dtype dtype, Device device, bool allocate_now);
    Tensor(std::shared_ptr<Storage> storage, const Shape& shape, Strides strides,
           unsigned long offset);
    // Throws std::invalid_argument "Tensor: null TensorImpl" for a null body.
    explicit Tensor(std::shared_ptr<TensorImpl> impl);

    static Tensor zeros(const Shape& shape, Dtype dtype, Device device);
    static Tensor ones(const Shape& shape, Dtype dtype, Device device);

    // These forward to the body unchecked: a moved-from handle must not be used.
    int64_t numel() const { return static_cast<int64_t>(impl_->numel()); }
    bool is_contiguous() const { return impl_->is_contiguous(); }
    Dtype dtype() const { return impl_->dtype(); }
    Device device() const { return impl_->device(); }
    const Shape& shape() const { return impl_->shape(); }
    const Strides& strides() const { return impl_->strides(); }
    uint64_t offset() const { return impl_->offset(); }
    const std::shared_ptr<Storage>& storage() const { return impl_->storage(); }
    const std::shared_ptr<TensorImpl>& impl() const { return impl_; }
    bool allocated() const { return impl_->allocated(); }
    void allocate() { impl_->allocate(); }
    TensorImpl& operator*() const { return *impl_; }
    TensorImpl* operator->() const { return impl_.get(); }

    // This very body when contiguous, else a new body holding a copy.
    Tensor contiguous() const;
    // Always a new body, even when dims equal the current shape.
    Tensor view(const std::vector<long long>& dims) const;
    Tensor reshape(const std::vector<long long>& dims) const;

private:
    std::shared_ptr<TensorImpl> impl_;  // never null unless moved from
};

// Writes the value one of dtype into count consecutive elements. A null
// pointer or a count of 0 returns before the dtype is looked at; otherwise an
// unknown dtype throws std::invalid_argument "Unsupported Dtype", and only
// then does a negative count return without writing.
void fill_ones(void* data, Dtype dtype, long long count);

namespace detail {
// Sets nbytes at data to zero, leaving whole pages that are not resident to
// the kernel's zero-fill instead of faulting them in to write them.
void fill_zeros(void* data, size_t nbytes);
}  // namespace detail

// Throws std::invalid_argument "view/reshape: <message>".
[[noreturn]] void bad_reshape(const char* message);
// The one unknown size when the known sizes multiply to `known` and the whole
// holds `total` elements.
long long infer_dim(long long total, long long known);
// The shape that dims (at most one -1) asks for, checked against total.
Shape resolve_shape(long long total, const std::vector<long long>& dims);

// A new contiguous body with a copy of src's elements in row-major order.
// Throws std::logic_error when src is not allocated.
TensorImpl copy_contiguous_impl(const TensorImpl& src);

}  // namespace quarnel
