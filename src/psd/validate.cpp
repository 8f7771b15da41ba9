#include <climits>
#include <string>

#include "core/sizes.h"
#include "psd/process_psd.h"

namespace vexa {

namespace {

std::string format(const Vec3<int>& v) {
    return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) +
           ")";
}

bool isFourierLength(int n) {
    return n == 1 || n == 4 || n == 8 || n == 16 || n == 32 || n == 64;
}

std::string invalid(const std::string& what, const std::string& rule) {
    return "Invalid parameter: " + what + "; " + rule;
}

} // namespace

std::string validateNoiseParameters(const Parameters& params) {
    const Vec3<int>& R = params.psdResampleSize;
    if (!isFourierLength(R.x) || !isFourierLength(R.y) || !isFourierLength(R.z)) {
        return invalid("psdResampleSize = " + format(R),
                       "every component must be one of 1, 4, 8, 16, 32, 64");
    }
    const Vec3<int>& S = params.psdSize;
    if (S.x < 1 || S.y < 1 || S.z < 1) {
        return invalid("psdSize = " + format(S), "every component must be at least 1");
    }
    const Vec3<int>& B = params.blockSize;
    if (B.x < 1 || B.y < 1 || B.z < 1) {
        return invalid("blockSize = " + format(B), "every component must be at least 1");
    }
    if (params.maxGroupSize < 1) {
        return invalid("maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "it must be at least 1");
    }
    if (params.varianceGroupSize < 0) {
        return invalid("varianceGroupSize = " + std::to_string(params.varianceGroupSize),
                       "it must be at least 0");
    }

    const std::string limit = std::to_string(INT_MAX);
    long long product = 0;
    if (!checkedProduct({S.x, S.y, S.z}, product)) {
        return invalid("psdSize = " + format(S),
                       "the number of PSD points must not exceed " + limit);
    }
    // Table of every frequency times every block coefficient.
    if (!checkedProduct({R.x, R.y, R.z, B.x, B.y, B.z}, product)) {
        return invalid("psdResampleSize = " + format(R) + " with blockSize = " + format(B),
                       "the product of their point counts must not exceed " + limit);
    }
    // The working memory holds one position map per group member.
    if (!checkedProduct({R.x, R.y, R.z, params.maxGroupSize}, product)) {
        return invalid("psdResampleSize = " + format(R) +
                           " with maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "the grid point count times maxGroupSize must not exceed " + limit);
    }
    if (!checkedProduct({B.x, B.y, B.z, params.maxGroupSize}, product)) {
        return invalid("blockSize = " + format(B) +
                           " with maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "the block point count times maxGroupSize must not exceed " + limit);
    }
    return "";
}

} // namespace vexa
