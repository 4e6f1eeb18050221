// Fuzz target: dimension lists against an element count. resolve_shape, view
// and reshape must give exactly the shape and strides the models of
// tests/model compute, or throw exactly the exception type and message they
// name.
#include <cstring>
#include <memory>
#include <optional>

#include "fuzz_util.h"
#include "tests/model/layout.h"
#include "tests/model/reshape.h"

namespace quarnel::fuzz {
namespace {

using model::Count;
using model::product;
constexpr Count INT64_LIMIT = static_cast<Count>(INT64_MAX);

long long draw_dim(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return in.ConsumeIntegralInRange<long long>(-3, 8);
        case 1: return -static_cast<long long>(in.ConsumeIntegralInRange<uint64_t>(0, 3));
        default: return static_cast<long long>(edgy_u64(in));
    }
}

// The source of a view: rank 1 of any count, or any shape, contiguous or
// walked column-major; allocated only when small.
struct Source {
    std::optional<Tensor> tensor;
    std::vector<uint64_t> shape, strides;
};

Source draw_source(FuzzedDataProvider& in) {
    Source s;
    const int mode = in.ConsumeIntegralInRange<int>(0, 2);
    if (mode == 0) {
        s.shape = {in.ConsumeBool() ? edgy_u64(in) & static_cast<uint64_t>(INT64_MAX)
                                    : in.ConsumeIntegralInRange<uint64_t>(0, 64)};
    } else {
        const int rank = in.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < rank; ++i)
            s.shape.push_back(in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 6) : edgy_u64(in));
    }
    const Count n = model::count(s.shape);
    if (n > INT64_LIMIT) return s;  // not a shape; the layout target covers that refusal
    const bool small = n <= 4096;
    const auto dtype = static_cast<Dtype>(in.ConsumeIntegralInRange<int>(0, 3));
    if (mode < 2) {
        s.strides = model::row_major(s.shape);
        s.tensor.emplace(Shape(s.shape), dtype, Device::CPU, small && in.ConsumeBool());
        return s;
    }
    // Column-major: the first dimension innermost.
    s.strides.resize(s.shape.size());
    Count inner = 1;
    for (size_t i = 0; i < s.shape.size(); ++i) {
        s.strides[i] = static_cast<uint64_t>(inner);
        inner = product(inner, s.shape[i]);
    }
    if (inner > INT64_LIMIT) return s;
    auto storage = std::make_shared<Storage>(static_cast<size_t>(n), dtype, Device::CPU, small && in.ConsumeBool());
    if (storage->data() != nullptr) {
        auto* bytes = static_cast<unsigned char*>(storage->data());
        for (size_t i = 0; i < storage->nbytes(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    s.tensor.emplace(storage, Shape(s.shape), Strides(s.strides), 0UL);
    return s;
}

void check_result(const Tensor& source, const Tensor& result, const std::vector<uint64_t>& shape,
                  const std::string& context) {
    FUZZ_CHECK(entries(result.shape()) == shape, context + " shape " + list_text(entries(result.shape())));
    FUZZ_CHECK(entries(result.strides()) == model::row_major(shape),
               context + " strides " + list_text(entries(result.strides())));
    FUZZ_CHECK(result.is_contiguous(), context);
    FUZZ_CHECK(result.impl() != source.impl(), context + ": a new body");
    FUZZ_CHECK(result.dtype() == source.dtype() && result.device() == source.device(), context);
}

void run(FuzzedDataProvider& in) {
    std::vector<long long> dims;
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, in.ConsumeBool() ? 4 : 7);
    for (size_t i = 0; i < length; ++i) dims.push_back(draw_dim(in));

    // resolve_shape against any count.
    const auto total = static_cast<long long>(edgy_u64(in) & static_cast<uint64_t>(INT64_MAX));
    const model::Resolved expected = model::resolve(total, dims);
    const std::string context = "resolve_shape(" + std::to_string(total) + ", " + list_text(dims) + ")";
    std::optional<Shape> resolved;
    if (matches(
            expected.outcome, [&] { resolved = resolve_shape(total, dims); }, context)) {
        FUZZ_CHECK(entries(*resolved) == expected.shape, context + " gave " + list_text(entries(*resolved)));
    }

    // view and reshape of a tensor holding some count.
    Source source = draw_source(in);
    if (!source.tensor) return;
    const Tensor& t = *source.tensor;
    const uint64_t count = t.shape().numel();
    const model::Resolved want = model::resolve(static_cast<long long>(count), dims);
    const bool contiguous = model::contiguous(source.shape, source.strides);
    FUZZ_CHECK(t.is_contiguous() == contiguous,
               "is_contiguous of " + list_text(source.shape) + " / " + list_text(source.strides));
    const std::string on =
        " of " + list_text(source.shape) + " / " + list_text(source.strides) + " with " + list_text(dims);

    Outcome view_outcome = want.outcome;
    if (want.outcome.succeeds() && !contiguous)
        view_outcome = Outcome::error<std::invalid_argument>("view: tensor is not contiguous");
    std::optional<Tensor> view;
    if (matches(
            view_outcome, [&] { view = t.view(dims); }, "view" + on)) {
        check_result(t, *view, want.shape, "view" + on);
        FUZZ_CHECK(view->storage() == t.storage() && view->offset() == t.offset(), "view" + on + " shares the storage");
    }

    const bool allocated = t.allocated();
    Outcome reshape_outcome = want.outcome;
    if (want.outcome.succeeds() && !contiguous && !allocated) {
        reshape_outcome = Outcome::error<std::logic_error>("copy_contiguous: source has no allocation yet");
    }
    std::optional<Tensor> reshaped;
    if (!matches(
            reshape_outcome, [&] { reshaped = t.reshape(dims); }, "reshape" + on))
        return;
    check_result(t, *reshaped, want.shape, "reshape" + on);
    if (contiguous) {
        FUZZ_CHECK(reshaped->storage() == t.storage() && reshaped->offset() == t.offset(), "reshape" + on + " views");
        return;
    }
    // A copy: the source's elements in row-major order.
    FUZZ_CHECK(reshaped->storage() != t.storage() && reshaped->offset() == 0, "reshape" + on + " copies");
    FUZZ_CHECK(reshaped->storage()->numel() == count && reshaped->allocated(), "reshape" + on + " storage");
    const std::vector<unsigned char> expected_bytes =
        model::gather(static_cast<const unsigned char*>(t.storage()->data()),
                      model::positions(source.shape, source.strides, 0), dtype_size(t.dtype()));
    FUZZ_CHECK(expected_bytes.empty() ||
                   std::memcmp(reshaped->storage()->data(), expected_bytes.data(), expected_bytes.size()) == 0,
               "reshape" + on + " elements");
}

}  // namespace
}  // namespace quarnel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    quarnel::fuzz::run(in);
    return 0;
}
