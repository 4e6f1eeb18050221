// Timing helpers shared by the C++ benchmarks: a steady clock, medians over
// interleaved rounds, and one JSON object per result line on stdout, which
// bench/report.py reads.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Keeps a value (or the memory behind a pointer) alive for the optimiser.
template <typename T>
inline void keep(T const& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

// Freed blocks stay in the heap and come back warm: no mmap for large
// blocks, no trimming of the top. Measures fills and copies, not page faults.
inline void warm_malloc() {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT32_MAX);
    mallopt(M_TOP_PAD, 64 << 20);
}

inline size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Runs every variant once per round, in an order rotated each round, so that
// whatever disturbs the machine meanwhile lands on all of them alike. Each
// variant returns the nanoseconds of one timed sample. Returns the median
// sample of each variant.
inline std::vector<double> interleave(const std::vector<std::function<double()>>& variants, int rounds) {
    std::vector<std::vector<double>> samples(variants.size());
    for (auto& f : variants) f();  // warm-up: first touch, code and caches
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < variants.size(); ++i) {
            const size_t k = (i + static_cast<size_t>(r)) % variants.size();
            samples[k].push_back(variants[k]());
        }
    }
    std::vector<double> medians;
    for (auto& s : samples) medians.push_back(median(s));
    return medians;
}

class Json {
public:
    explicit Json(const char* kind) { text_ = std::string("{\"kind\": \"") + kind + "\""; }
    Json& str(const char* key, const std::string& value) {
        text_ += std::string(", \"") + key + "\": \"" + value + "\"";
        return *this;
    }
    Json& num(const char* key, double value) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", value);
        text_ += std::string(", \"") + key + "\": " + buf;
        return *this;
    }
    void print() {
        std::printf("%s}\n", text_.c_str());
        std::fflush(stdout);
    }

private:
    std::string text_;
};

}  // namespace bench
