// Helpers shared by the C++ suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quarnel.h"
#include "tests/model/outcome.h"

namespace quarnel::test {

// Passes only when f does what `expected` says: returns, or throws exactly
// its type (not a subclass, not a base) with exactly its message.
template <typename F>
::testing::AssertionResult Gives(const model::Outcome& expected, F&& f) {
    const model::Outcome got = model::outcome_of(std::forward<F>(f));
    if (got == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got.text() << ", expected " << expected.text();
}

// Passes only when f throws exactly E with exactly `message`; EXPECT_THROW
// would accept std::invalid_argument for std::logic_error.
template <typename E, typename F>
::testing::AssertionResult Throws(F&& f, const std::string& message) {
    return Gives(model::Outcome::error<E>(message), std::forward<F>(f));
}

template <typename F>
::testing::AssertionResult ThrowsBadAlloc(F&& f) {
    return Throws<std::bad_alloc>(std::forward<F>(f), std::bad_alloc().what());
}

template <typename List>
std::vector<uint64_t> dims_of(const List& list) {
    std::vector<uint64_t> out;
    for (int i = 0; i < static_cast<int>(list.rank()); ++i) out.push_back(list[i]);
    return out;
}

// All nbytes() bytes of a storage; empty when it has no memory.
inline std::vector<unsigned char> bytes_of(const Storage& s) {
    const auto* p = static_cast<const unsigned char*>(s.data());
    return p ? std::vector<unsigned char>(p, p + s.nbytes()) : std::vector<unsigned char>();
}

// An allocated FLOAT32 storage holding 0, 1, 2, ...
inline std::shared_ptr<Storage> iota_storage(size_t n) {
    auto s = std::make_shared<Storage>(n, Dtype::FLOAT32, Device::CPU);
    for (size_t i = 0; i < n; ++i) static_cast<float*>(s->data())[i] = static_cast<float>(i);
    return s;
}

// The FLOAT32 elements of a storage.
inline std::vector<float> floats_of(const Storage& s) {
    std::vector<float> out(s.numel());
    if (!out.empty()) std::memcpy(out.data(), s.data(), out.size() * sizeof(float));
    return out;
}

// Records a marker node in the process-wide graph. That graph is shared and
// append-only, so tests count the nodes recorded between two probes by their
// ids instead of relying on absolute ids.
inline Node* probe() {
    return default_graph().add_node("PROBE", Op::ADD, {}, Tensor(Shape(), Dtype::FLOAT32, Device::CPU, false));
}

// Builds `length` lazy adds, each on the previous result, executes the last and
// checks, walking back through the producers, that every result got its memory
// while the operand that nothing produces stayed unallocated.
inline void run_chain(size_t length) {
    const Tensor one(Shape(std::vector<uint64_t>{1}), Dtype::FLOAT32, Device::CPU, false);
    Tensor last = one;
    for (size_t i = 0; i < length; ++i) last = add(last, one);
    execute(last);

    size_t found = 0;
    size_t unallocated = 0;
    Tensor t = last;
    while (Node* node = default_graph().find(t)) {
        ++found;
        if (!node->output.allocated()) ++unallocated;
        t = node->inputs[0];
    }
    EXPECT_EQ(found, length);
    EXPECT_EQ(unallocated, 0U);
    EXPECT_EQ(t.impl(), one.impl());
    EXPECT_FALSE(one.allocated());
}

}  // namespace quarnel::test
