#pragma once

#include <climits>
#include <initializer_list>

namespace vexa {

// Product of non-negative factors; false when a factor is negative or the
// product exceeds limit (default: the range of int). out is set only on success.
inline bool checkedProduct(std::initializer_list<long long> factors, long long& out,
                           long long limit = INT_MAX) {
    long long p = 1;
    for (long long f : factors) {
        if (f < 0) return false;
        if (f != 0 && p > limit / f) return false;
        p *= f;
    }
    if (p > limit) return false;
    out = p;
    return true;
}

} // namespace vexa
