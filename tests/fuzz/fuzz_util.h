// Shared by the fuzz targets: checks that abort with a readable report (the
// fuzzer then saves the input), the outcome of a call compared with the
// outcome a model predicts, and the draws of values that hit edge cases.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "quarnel.h"

namespace quarnel::fuzz {

// Densely packed: ignoring size-1 dimensions, each stride is the product of
// the sizes inside it, modulo 2^64 as strides are (past 2^63 only beside a
// size 0, where no element is addressed).
inline bool model_contiguous(const std::vector<uint64_t>& shape, const std::vector<uint64_t>& strides) {
    if (shape.size() != strides.size()) return false;
    uint64_t inner = 1;
    for (size_t i = shape.size(); i-- > 0;) {
        if (shape[i] == 1) continue;
        if (strides[i] != inner) return false;
        inner *= shape[i];
    }
    return true;
}

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, what)                                                  \
    do {                                                                        \
        if (!(cond)) ::quarnel::fuzz::fail(std::string(#cond) + ": " + (what)); \
    } while (0)

// What a call should do: succeed, or throw exactly this type with this text.
struct Outcome {
    const std::type_info* type = nullptr;  // null: success
    std::string message;

    static Outcome ok() { return {}; }
    template <typename E>
    static Outcome error(std::string message) {
        return {&typeid(E), std::move(message)};
    }
    bool succeeds() const { return type == nullptr; }
    std::string text() const { return type ? std::string(type->name()) + " \"" + message + "\"" : "success"; }
};

// Runs f and checks it against `expected`; returns whether f succeeded.
// On success f's result has been handed to `keep`.
template <typename F>
bool matches(const Outcome& expected, F&& f, const std::string& context) {
    Outcome got;
    try {
        f();
    } catch (const std::exception& e) {
        got = {&typeid(e), e.what()};
    }
    const bool same = got.type == expected.type || (got.type && expected.type && *got.type == *expected.type);
    if (!same || got.message != expected.message) {
        fail(context + ": got " + got.text() + ", model expects " + expected.text());
    }
    return got.succeeds();
}

inline std::string list_text(const std::vector<long long>& v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]);
    return s + "]";
}

inline std::string list_text(const std::vector<uint64_t>& v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]);
    return s + "]";
}

template <typename List>
std::vector<uint64_t> entries(const List& list) {
    std::vector<uint64_t> out;
    for (int i = 0; i < static_cast<int>(list.rank()); ++i) out.push_back(list[i]);
    return out;
}

// A 64-bit value drawn so that the edges come up often: small values, the
// extremes and the values around the points where products overflow, or any
// value at all.
inline uint64_t edgy_u64(FuzzedDataProvider& in) {
    static constexpr uint64_t SPECIAL[] = {
        0,
        1,
        2,
        3,
        uint64_t{1} << 31,
        (uint64_t{1} << 32) - 1,
        uint64_t{1} << 32,
        (uint64_t{1} << 32) + 1,
        3037000499,
        3037000500,  // around the square root of 2^63
        2097151,
        2097152,  // around the cube root of 2^63
        55108,
        55109,  // around the fourth root of 2^63
        uint64_t{1} << 62,
        (uint64_t{1} << 63) - 1,
        uint64_t{1} << 63,
        (uint64_t{1} << 63) + 1,
        UINT64_MAX - 1,
        UINT64_MAX,
    };
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return in.ConsumeIntegralInRange<uint64_t>(0, 8);
        case 1: return in.PickValueInArray(SPECIAL);
        case 2: return in.ConsumeIntegralInRange<uint64_t>(0, 1 << 16);
        default: return in.ConsumeIntegral<uint64_t>();
    }
}

}  // namespace quarnel::fuzz
