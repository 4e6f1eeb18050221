// Fuzz target: dimension lists against an element count. resolve_shape, view
// and reshape must give exactly the shape and strides a small model computes,
// or throw exactly the exception type and message the model names. The model
// judges products exactly, in 128-bit arithmetic saturated far above 2^63.
#include <algorithm>
#include <memory>
#include <optional>

#include "fuzz_util.h"

namespace quarnel::fuzz {
namespace {

using u128 = unsigned __int128;
constexpr u128 HUGE = u128{1} << 100;  // stands for every product past it
constexpr u128 INT64_LIMIT = static_cast<u128>(INT64_MAX);

u128 product(u128 a, u128 b) {
    if (a == 0 || b == 0) return 0;
    if (a >= HUGE || b >= HUGE || a > HUGE / b) return HUGE;
    return a * b;
}

struct Resolved {
    Outcome outcome;
    std::vector<uint64_t> shape;
};

// The shape a list asks for, by the rules of the reference: the rank first,
// then the entries in list order (the first bad entry names the error), then
// the count.
Resolved model_resolve(long long total, const std::vector<long long>& dims) {
    const auto bad = [](const char* why) {
        return Resolved{Outcome::error<std::invalid_argument>(std::string("view/reshape: ") + why), {}};
    };
    if (dims.size() > 4) return {Outcome::error<std::length_error>("Shape: rank exceeds MAX_RANK"), {}};
    const u128 count = static_cast<u128>(total);
    int inferred = -1;
    u128 known = 1;
    for (size_t i = 0; i < dims.size(); ++i) {
        if (dims[i] == -1) {
            if (inferred >= 0) return bad("only one -1 dimension allowed");
            inferred = static_cast<int>(i);
        } else if (dims[i] < 0) {
            return bad("dimensions must be >= 0 or -1");
        } else {
            known = product(known, static_cast<u128>(dims[i]));
        }
    }
    std::vector<uint64_t> shape(dims.begin(), dims.end());
    if (inferred >= 0) {
        if (known == 0) {
            if (count != 0) return bad("cannot infer dimension");
            shape[static_cast<size_t>(inferred)] = 0;
        } else {
            if (count % known != 0) return bad("numel is not divisible by known dims");
            shape[static_cast<size_t>(inferred)] = static_cast<uint64_t>(count / known);
        }
    } else if (known != count) {
        return bad("numel mismatch");
    }
    u128 n = 1;
    for (uint64_t d : shape) n = product(n, d);
    if (n > INT64_LIMIT) return {Outcome::error<std::length_error>("Shape: element count overflows int64"), {}};
    return {Outcome::ok(), shape};
}

// Row-major strides: each the product of the sizes inside it, modulo 2^64
// (only a shape with a 0 outside can exceed that, and it addresses nothing).
std::vector<uint64_t> model_strides(const std::vector<uint64_t>& shape) {
    std::vector<uint64_t> strides(shape.size());
    uint64_t inner = 1;
    for (size_t i = shape.size(); i-- > 0;) {
        strides[i] = inner;
        inner *= shape[i];
    }
    return strides;
}

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
    u128 n = 1;
    for (uint64_t d : s.shape) n = product(n, d);
    if (n > INT64_LIMIT) return s;  // not a shape; the layout target covers that refusal
    const bool small = n <= 4096;
    const auto dtype = static_cast<Dtype>(in.ConsumeIntegralInRange<int>(0, 3));
    if (mode < 2) {
        s.strides = model_strides(s.shape);
        s.tensor.emplace(Shape(s.shape), dtype, Device::CPU, small && in.ConsumeBool());
        return s;
    }
    // Column-major: the first dimension innermost.
    s.strides.resize(s.shape.size());
    u128 inner = 1;
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
    FUZZ_CHECK(entries(result.strides()) == model_strides(shape),
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
    const Resolved expected = model_resolve(total, dims);
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
    const Resolved want = model_resolve(static_cast<long long>(count), dims);
    const bool contiguous = model_contiguous(source.shape, source.strides);
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
    // A copy: element i of the result is the source's element at the i-th
    // index in row-major order.
    FUZZ_CHECK(reshaped->storage() != t.storage() && reshaped->offset() == 0, "reshape" + on + " copies");
    FUZZ_CHECK(reshaped->storage()->numel() == count && reshaped->allocated(), "reshape" + on + " storage");
    const size_t width = dtype_size(t.dtype());
    const auto* src = static_cast<const unsigned char*>(t.storage()->data());
    const auto* dst = static_cast<const unsigned char*>(reshaped->storage()->data());
    std::vector<uint64_t> index(source.shape.size(), 0);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t position = 0;
        for (size_t k = 0; k < index.size(); ++k) position += index[k] * source.strides[k];
        FUZZ_CHECK(std::equal(dst + i * width, dst + (i + 1) * width, src + position * width),
                   "reshape" + on + " element " + std::to_string(i));
        for (size_t k = index.size(); k-- > 0;) {
            if (++index[k] < source.shape[k]) break;
            index[k] = 0;
        }
    }
}

}  // namespace
}  // namespace quarnel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    quarnel::fuzz::run(in);
    return 0;
}
