// Fuzz target: arbitrary layouts over a storage. The explicit-storage
// constructor must accept exactly the layouts whose every addressed element
// lies inside the storage; contiguous(), reshape and view of an accepted one
// must hold the elements the layout model addresses, in its order, and leave
// the source as it was. Out-of-bounds reads and writes are AddressSanitizer's
// to catch.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "fuzz_util.h"
#include "tests/model/layout.h"

namespace quarnel::fuzz {
namespace {

using model::Count;
using model::COUNT_CAP;
using model::product;
constexpr uint64_t COPY_LIMIT = uint64_t{1} << 14;     // elements a copy may hold
constexpr uint64_t STORAGE_LIMIT = uint64_t{1} << 14;  // elements a storage may hold in memory

Count saturated(Count v) { return v > COUNT_CAP ? COUNT_CAP : v; }

struct Layout {
    std::vector<uint64_t> shape, strides;
    uint64_t offset = 0;
    // The stride the walk uses for dimension k: past the strides' rank, 0.
    uint64_t stride(size_t k) const { return k < strides.size() ? strides[k] : 0; }
    Count count() const { return model::count(shape); }
    // The position of the last element in row-major order, which is the
    // farthest, since no stride is negative: what the bounds are judged by.
    Count last() const {
        Count position = offset;
        for (size_t k = 0; k < shape.size(); ++k) position = saturated(position + product(shape[k] - 1, stride(k)));
        return position;
    }
    bool contiguous() const { return model::contiguous(shape, strides); }
    std::string text() const { return list_text(shape) + " / " + list_text(strides) + " + " + std::to_string(offset); }
};

uint64_t draw_small_or_edgy(FuzzedDataProvider& in, uint64_t small) {
    return in.ConsumeIntegralInRange<int>(0, 3) != 0 ? in.ConsumeIntegralInRange<uint64_t>(0, small) : edgy_u64(in);
}

// The copy holds exactly the model's elements, in its order.
void check_copy(const Tensor& copy, const Layout& layout, const std::vector<unsigned char>& source_bytes, size_t width,
                const std::string& context) {
    const std::vector<uint64_t> at = model::positions(layout.shape, layout.strides, layout.offset);
    const std::vector<unsigned char> expected = model::gather(source_bytes.data(), at, width);
    FUZZ_CHECK(copy.storage()->numel() == at.size() && copy.offset() == 0 && copy.is_contiguous(), context);
    FUZZ_CHECK(expected.empty() || std::memcmp(copy.storage()->data(), expected.data(), expected.size()) == 0,
               context + ": elements");
}

void run(FuzzedDataProvider& in) {
    Layout layout;
    const auto dtype = static_cast<Dtype>(in.ConsumeIntegralInRange<int>(0, 3));
    const size_t width = dtype_size(dtype);
    const int rank = in.ConsumeIntegralInRange<int>(0, 5);
    const int strides_rank = in.ConsumeIntegralInRange<int>(0, 9) == 0 ? in.ConsumeIntegralInRange<int>(0, 5) : rank;
    for (int k = 0; k < rank; ++k) layout.shape.push_back(draw_small_or_edgy(in, 5));
    for (int k = 0; k < strides_rank; ++k) layout.strides.push_back(draw_small_or_edgy(in, 30));
    layout.offset = draw_small_or_edgy(in, 20);
    const uint64_t storage_numel = draw_small_or_edgy(in, 300);
    const bool null_storage = in.ConsumeIntegralInRange<int>(0, 31) == 0;
    const bool in_memory = storage_numel <= STORAGE_LIMIT && in.ConsumeIntegralInRange<int>(0, 7) != 0;

    // Shapes and strides are refused before the layout is looked at.
    const std::string text = layout.text() + " over " + std::to_string(storage_numel);
    std::optional<Shape> shape;
    Outcome shape_outcome;
    if (layout.shape.size() > 4) {
        shape_outcome = Outcome::error<std::length_error>("Shape: rank exceeds MAX_RANK");
    } else if (layout.count() > static_cast<Count>(INT64_MAX)) {
        shape_outcome = Outcome::error<std::length_error>("Shape: element count overflows int64");
    }
    if (!matches(
            shape_outcome, [&] { shape.emplace(layout.shape); }, "Shape " + list_text(layout.shape)))
        return;
    std::optional<Strides> strides;
    const Outcome strides_outcome =
        layout.strides.size() > 4 ? Outcome::error<std::length_error>("Strides: rank exceeds MAX_RANK") : Outcome::ok();
    if (!matches(
            strides_outcome, [&] { strides.emplace(layout.strides); }, "Strides " + list_text(layout.strides)))
        return;

    std::shared_ptr<Storage> storage;
    if (!null_storage) {
        storage = std::make_shared<Storage>(static_cast<size_t>(storage_numel), dtype, Device::CPU, in_memory);
        auto* bytes = static_cast<unsigned char*>(storage->data());
        if (bytes != nullptr) {
            for (size_t i = 0; i < storage->nbytes(); ++i) bytes[i] = static_cast<unsigned char>(i * 131 + i / 256 + 1);
        }
    }
    const std::vector<unsigned char> before =
        storage && storage->data()
            ? std::vector<unsigned char>(static_cast<const unsigned char*>(storage->data()),
                                         static_cast<const unsigned char*>(storage->data()) + storage->nbytes())
            : std::vector<unsigned char>();

    // Accepted exactly when every addressed element lies inside the storage
    // (a layout of no elements addresses none).
    Outcome accept;
    if (null_storage) {
        accept = Outcome::error<std::invalid_argument>("TensorImpl: null storage");
    } else if (layout.count() != 0 && layout.last() >= storage_numel) {
        accept = Outcome::error<std::invalid_argument>("TensorImpl: elements out of storage bounds");
    }
    std::optional<Tensor> tensor;
    if (!matches(
            accept, [&] { tensor.emplace(storage, *shape, *strides, static_cast<unsigned long>(layout.offset)); },
            "layout " + text))
        return;
    const Tensor& t = *tensor;
    FUZZ_CHECK(
        entries(t.shape()) == layout.shape && entries(t.strides()) == layout.strides && t.offset() == layout.offset,
        "layout " + text + " kept as given");
    FUZZ_CHECK(t.is_contiguous() == layout.contiguous(), "is_contiguous of " + text);

    const bool copyable = layout.count() <= COPY_LIMIT;
    const bool allocated = storage_numel == 0 || in_memory;
    const Outcome unallocated = Outcome::error<std::logic_error>("copy_contiguous: source has no allocation yet");

    // contiguous(): the same body, or a copy of the model's elements.
    if (layout.contiguous()) {
        FUZZ_CHECK(t.contiguous().impl() == t.impl(), "contiguous() of contiguous " + text);
    } else if (copyable) {
        std::optional<Tensor> copy;
        if (matches(
                allocated ? Outcome::ok() : unallocated, [&] { copy.emplace(t.contiguous()); },
                "contiguous() of " + text)) {
            FUZZ_CHECK(entries(copy->shape()) == layout.shape && copy->storage() != t.storage(),
                       "contiguous() of " + text);
            check_copy(*copy, layout, before, width, "contiguous() of " + text);
        }
    }

    // view and reshape to one dimension, and to the shape reversed.
    std::vector<long long> flat = {-1};
    std::vector<long long> reversed(layout.shape.rbegin(), layout.shape.rend());
    std::vector<const std::vector<long long>*> requests = {&flat};
    // Sizes past INT64_MAX (beside a 0) are no dimension list; the dims target covers those.
    if (std::all_of(layout.shape.begin(), layout.shape.end(), [](uint64_t d) { return d <= INT64_MAX; })) {
        requests.push_back(&reversed);
    }
    for (const auto* dims : requests) {
        const std::string context = text + " to " + list_text(*dims);
        std::optional<Tensor> view;
        const Outcome view_outcome = layout.contiguous()
                                         ? Outcome::ok()
                                         : Outcome::error<std::invalid_argument>("view: tensor is not contiguous");
        if (matches(
                view_outcome, [&] { view.emplace(t.view(*dims)); }, "view " + context)) {
            FUZZ_CHECK(view->storage() == t.storage() && view->offset() == t.offset() && view->numel() == t.numel(),
                       "view " + context);
        }
        if (!layout.contiguous() && !copyable) continue;
        std::optional<Tensor> reshaped;
        const Outcome reshape_outcome = layout.contiguous() || allocated ? Outcome::ok() : unallocated;
        if (!matches(
                reshape_outcome, [&] { reshaped.emplace(t.reshape(*dims)); }, "reshape " + context))
            continue;
        if (layout.contiguous()) {
            FUZZ_CHECK(reshaped->storage() == t.storage() && reshaped->offset() == t.offset(), "reshape " + context);
        } else {
            check_copy(*reshaped, layout, before, width, "reshape " + context);
        }
    }

    // Nothing above writes to the source.
    if (!before.empty()) {
        FUZZ_CHECK(std::memcmp(before.data(), storage->data(), before.size()) == 0, "source unchanged: " + text);
    }
}

}  // namespace
}  // namespace quarnel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    quarnel::fuzz::run(in);
    return 0;
}
