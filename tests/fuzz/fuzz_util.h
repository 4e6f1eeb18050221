// Shared by the fuzz targets: checks that abort with a readable report (the
// fuzzer then saves the input), the outcome of a call compared with the
// outcome a model predicts, and the draws of values that hit edge cases.
// The models themselves are in tests/model, shared with the C++ tests.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "quarnel.h"
#include "tests/model/outcome.h"

namespace quarnel::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, what)                                                  \
    do {                                                                        \
        if (!(cond)) ::quarnel::fuzz::fail(std::string(#cond) + ": " + (what)); \
    } while (0)

using model::Outcome;

// Runs f and checks it against `expected`; returns whether f succeeded.
template <typename F>
bool matches(const Outcome& expected, F&& f, const std::string& context) {
    const Outcome got = model::outcome_of(std::forward<F>(f));
    if (got != expected) fail(context + ": got " + got.text() + ", model expects " + expected.text());
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
