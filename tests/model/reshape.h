// The model of a dimension list resolved against an element count, as view
// and reshape take one: the rank first, then the entries in list order (the
// first bad entry names the error), then the count, all judged exactly.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "layout.h"
#include "outcome.h"

namespace quarnel::model {

struct Resolved {
    Outcome outcome;
    List shape;  // when it succeeds
};

// total is an element count: 0 up to INT64_MAX.
inline Resolved resolve(long long total, const std::vector<long long>& dims) {
    const auto bad = [](const char* why) {
        return Resolved{Outcome::error<std::invalid_argument>(std::string("view/reshape: ") + why), {}};
    };
    if (dims.size() > 4) return {Outcome::error<std::length_error>("Shape: rank exceeds MAX_RANK"), {}};
    const auto wanted = static_cast<Count>(total);
    int inferred = -1;
    Count known = 1;
    for (size_t i = 0; i < dims.size(); ++i) {
        if (dims[i] == -1) {
            if (inferred >= 0) return bad("only one -1 dimension allowed");
            inferred = static_cast<int>(i);
        } else if (dims[i] < 0) {
            return bad("dimensions must be >= 0 or -1");
        } else {
            known = product(known, static_cast<Count>(dims[i]));
        }
    }
    List shape(dims.begin(), dims.end());
    if (inferred >= 0) {
        if (known == 0) {
            if (wanted != 0) return bad("cannot infer dimension");
            shape[static_cast<size_t>(inferred)] = 0;
        } else {
            if (wanted % known != 0) return bad("numel is not divisible by known dims");
            shape[static_cast<size_t>(inferred)] = static_cast<uint64_t>(wanted / known);
        }
    } else if (known != wanted) {
        return bad("numel mismatch");
    }
    if (count(shape) > static_cast<Count>(INT64_MAX)) {
        return {Outcome::error<std::length_error>("Shape: element count overflows int64"), {}};
    }
    return {Outcome::ok(), shape};
}

}  // namespace quarnel::model
