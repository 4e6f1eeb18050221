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
#include <optional>
#include <vector>

#include <quarnel/export.h>

#include "dtype.h"
#include "shape.h"
#include "storage.h"

namespace quarnel {

class QUARNEL_EXPORT TensorImpl {
public:
    TensorImpl(const Shape& shape, Dtype dtype, Device device);
    TensorImpl(const Shape& shape, Dtype dtype, Device device, bool allocate_now);
    // Any layout over an existing storage. Throws std::invalid_argument for a
    // null storage, and when some addressed element lies outside it, so every
    // body that exists can be walked safely.
    TensorImpl(std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, unsigned long offset);
    // The same without the bounds check, for the library's own layouts, whose
    // elements provably lie in the storage: only TensorImpl can make the key.
    class Trusted {
        Trusted() = default;
        friend class TensorImpl;
    };
    TensorImpl(Trusted, std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, uint64_t offset);

    // What TensorImpl(shape, dtype, device, false) makes, a contiguous body
    // over a new storage that owns no memory yet, with the body and the
    // storage (each with its count) made through alloc, rebound as needed.
    template <typename Allocator>
    static std::shared_ptr<TensorImpl> make_unallocated(const Allocator& alloc, const Shape& shape, Dtype dtype,
                                                        Device device) {
        auto storage = std::allocate_shared<Storage>(alloc, shape.numel(), dtype, device, false);
        return std::allocate_shared<TensorImpl>(alloc, Trusted{}, std::move(storage), shape,
                                                Strides::contiguous_for(shape), uint64_t{0});
    }

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

    // The position of the operation that produced this body, as numbered by
    // the one recorder that keeps it here (the process-wide lazy graph, so
    // that finding a producer is one read of the body), or none. Core only
    // keeps it; the recorder checks it against its own record before trusting
    // it, and no other recorder reads or writes it.
    std::optional<uint32_t> producer_link() const { return link_.position; }
    void set_producer_link(uint32_t position) { link_.position = position; }

private:
    TensorImpl contiguous_view(const Shape& shape) const;

    // A copy of a body is a new tensor that nothing produced: copies start
    // without a link and assignment keeps the target's own. Neither reads
    // the source's link, so copying a body never races with recording it.
    // Moves are copies too: a moved-to body is just as new.
    struct Link {  // NOLINT(cppcoreguidelines-special-member-functions)
        std::optional<uint32_t> position;
        Link() = default;
        Link(const Link&) noexcept {}
        Link& operator=(const Link&) noexcept { return *this; }
    };

    std::shared_ptr<Storage> storage_;
    uint64_t offset_;  // elements, not bytes
    Strides strides_;  // elements, not bytes
    Shape shape_;
    Link link_;
};

class QUARNEL_EXPORT Tensor {
public:
    // Allocated at once; the elements are not initialised.
    Tensor(const Shape& shape, Dtype dtype, Device device);
    Tensor(const Shape& shape, Dtype dtype, Device device, bool allocate_now);
    Tensor(std::shared_ptr<Storage> storage, const Shape& shape, Strides strides, unsigned long offset);
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
QUARNEL_EXPORT void fill_ones(void* data, Dtype dtype, long long count);

// Throws std::invalid_argument "view/reshape: <message>".
[[noreturn]] QUARNEL_EXPORT void bad_reshape(const char* message);
// The one unknown size when the known sizes multiply to `known` and the whole
// holds `total` elements.
QUARNEL_EXPORT long long infer_dim(long long total, long long known);
// The shape that dims (at most one -1) asks for, checked against total.
QUARNEL_EXPORT Shape resolve_shape(long long total, const std::vector<long long>& dims);

// A new contiguous body with a copy of src's elements in row-major order.
// Throws std::logic_error when src is not allocated.
QUARNEL_EXPORT TensorImpl copy_contiguous_impl(const TensorImpl& src);

}  // namespace quarnel
