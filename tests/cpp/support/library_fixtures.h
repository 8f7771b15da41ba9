// Parameter blocks and transform sets of the library's own types, shared by
// the unit tests that call internal functions directly.
#pragma once

#include <cstring>

#include "core/parameters.h"
#include "core/vec3.h"
#include "transforms/transform_tables.h"

namespace vexa_fixtures {

// Zero everywhere but the block size and group size.
inline vexa::Parameters paramsWith(vexa::Vec3<int> blockSize, int maxGroupSize) {
    vexa::Parameters p;
    std::memset(&p, 0, sizeof p);
    p.blockSize = blockSize;
    p.maxGroupSize = maxGroupSize;
    return p;
}

// The same matrices forward and inverse on every axis, the built-in group
// tables and the 8x8 window.
inline vexa::Transforms<float> setWith(const float* fx, const float* fy, const float* fz) {
    vexa::Transforms<float> t{{fx, fy, fz},
                              {fx, fy, fz},
                              vexa::HAAR_NL_FWD,
                              vexa::HAAR_NL_INV,
                              vexa::KAISER_8x8};
    return t;
}

// What the noise-table code reads: block size B, frequency grid R, the PSD's
// size and the group sizes, on a 32x32 image or a 32^3 volume (B.z == 1 or not).
inline vexa::Parameters noiseParams(vexa::Vec3<int> B, vexa::Vec3<int> R, bool symmetry,
                                    int maxGroupSize, int vgs, vexa::Vec3<int> psdSize) {
    vexa::Parameters p{};
    p.blockSize = B;
    p.psdResampleSize = R;
    p.psdSymmetry = symmetry;
    p.maxGroupSize = maxGroupSize;
    p.varianceGroupSize = vgs;
    p.psdSize = psdSize;
    p.imageSize = {32, 32, B.z == 1 ? 1 : 32};
    p.step = {1, 1, 1};
    return p;
}

} // namespace vexa_fixtures
