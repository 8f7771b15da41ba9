#include "core/parameters.h"

#include <cstddef>
#include <cstring>

namespace vexa {

// The ABI is fixed byte for byte; both mirrors must agree with it.
#define VEXA_LAYOUT(type, field, off) static_assert(offsetof(type, field) == off, #field)
// The fields of the parameter block and their offsets, for both mirrors.
#define VEXA_PARAMETER_FIELDS(type)                                                                \
    VEXA_LAYOUT(type, blockSize, 0);                                                               \
    VEXA_LAYOUT(type, psdResampleSize, 12);                                                        \
    VEXA_LAYOUT(type, psdSymmetry, 24);                                                            \
    VEXA_LAYOUT(type, maxGroupSize, 28);                                                           \
    VEXA_LAYOUT(type, varianceGroupSize, 32);                                                      \
    VEXA_LAYOUT(type, hardThreshold, 36);                                                          \
    VEXA_LAYOUT(type, wienerFactor, 40);                                                           \
    VEXA_LAYOUT(type, matchNoiseFactor, 44);                                                       \
    VEXA_LAYOUT(type, searchRadius, 48);                                                           \
    VEXA_LAYOUT(type, imageSize, 60);                                                              \
    VEXA_LAYOUT(type, psdSize, 72);                                                                \
    VEXA_LAYOUT(type, step, 84);                                                                   \
    VEXA_LAYOUT(type, minGroupSize, 96);                                                           \
    VEXA_LAYOUT(type, matchThreshold, 100);                                                        \
    VEXA_LAYOUT(type, splitBlockExtraction, 104);                                                  \
    VEXA_LAYOUT(type, gridShiftCount, 108);                                                        \
    VEXA_LAYOUT(type, gridShift.x, 120);                                                           \
    VEXA_LAYOUT(type, gridShift.y, 128);                                                           \
    VEXA_LAYOUT(type, gridShift.z, 136);                                                           \
    VEXA_LAYOUT(type, deterministic, 144);                                                      \
    VEXA_LAYOUT(type, _reserved, 145);                                                             \
    VEXA_LAYOUT(type, sharpen, 148);                                                               \
    VEXA_LAYOUT(type, sharpenVariances, 149);                                                      \
    VEXA_LAYOUT(type, sharpenAlpha, 152);                                                          \
    VEXA_LAYOUT(type, sharpenAlphaFirstSlice, 156);                                                \
    VEXA_LAYOUT(type, numThreads, 160);                                                            \
    static_assert(sizeof(type) == 168, "parameter block size");                                    \
    static_assert(alignof(type) == 8, "parameter block alignment")
VEXA_PARAMETER_FIELDS(VexaParameters);
VEXA_PARAMETER_FIELDS(Parameters);
#undef VEXA_PARAMETER_FIELDS

VEXA_LAYOUT(VexaTransforms, forward.x, 0);
VEXA_LAYOUT(VexaTransforms, forward.y, 8);
VEXA_LAYOUT(VexaTransforms, forward.z, 16);
VEXA_LAYOUT(VexaTransforms, inverse.x, 24);
VEXA_LAYOUT(VexaTransforms, inverse.y, 32);
VEXA_LAYOUT(VexaTransforms, inverse.z, 40);
VEXA_LAYOUT(VexaTransforms, groupForward, 48);
VEXA_LAYOUT(VexaTransforms, groupInverse, 56);
VEXA_LAYOUT(VexaTransforms, window, 64);
static_assert(sizeof(VexaTransforms) == 72, "transform set size");
static_assert(alignof(VexaTransforms) == 8, "transform set alignment");
VEXA_LAYOUT(Transforms<float>, forward, 0);
VEXA_LAYOUT(Transforms<float>, inverse, 24);
VEXA_LAYOUT(Transforms<float>, groupForward, 48);
VEXA_LAYOUT(Transforms<float>, groupInverse, 56);
VEXA_LAYOUT(Transforms<float>, window, 64);
static_assert(sizeof(Transforms<float>) == 72, "transform set size");

VEXA_LAYOUT(BlockMatchStorage, maxMatches, 0);
VEXA_LAYOUT(BlockMatchStorage, matchCounts, 8);
VEXA_LAYOUT(BlockMatchStorage, matchPositions, 16);
VEXA_LAYOUT(BlockMatchStorage, matchRelativePositions, 24);
VEXA_LAYOUT(BlockMatchStorage, referenceCount, 32);
VEXA_LAYOUT(BlockMatchStorage, reuseMatches, 36);
static_assert(sizeof(BlockMatchStorage) == 40, "match store size");
static_assert(alignof(BlockMatchStorage) == 8, "match store alignment");
#undef VEXA_LAYOUT

namespace {
Vec3<int> v3(const VexaVec3i& v) {
    return {v.x, v.y, v.z};
}
} // namespace

Parameters parametersFromAbi(const VexaParameters& p) {
    Parameters q;
    std::memset(&q, 0, sizeof q);
    q.blockSize = v3(p.blockSize);
    q.psdResampleSize = v3(p.psdResampleSize);
    q.psdSymmetry = p.psdSymmetry != 0;
    q.maxGroupSize = p.maxGroupSize;
    q.varianceGroupSize = p.varianceGroupSize;
    q.hardThreshold = p.hardThreshold;
    q.wienerFactor = p.wienerFactor;
    q.matchNoiseFactor = p.matchNoiseFactor;
    q.searchRadius = v3(p.searchRadius);
    q.imageSize = v3(p.imageSize);
    q.psdSize = v3(p.psdSize);
    q.step = v3(p.step);
    q.minGroupSize = p.minGroupSize;
    q.matchThreshold = p.matchThreshold;
    for (int a = 0; a < 3; ++a) q.splitBlockExtraction[a] = p.splitBlockExtraction[a] != 0;
    q.gridShiftCount = v3(p.gridShiftCount);
    q.gridShift = {p.gridShift.x, p.gridShift.y, p.gridShift.z};
    q.deterministic = p.deterministic != 0;
    q.sharpen = p.sharpen != 0;
    q.sharpenVariances = p.sharpenVariances != 0;
    q.sharpenAlpha = p.sharpenAlpha;
    q.sharpenAlphaFirstSlice = p.sharpenAlphaFirstSlice;
    q.numThreads = p.numThreads;
    return q;
}

Transforms<float> transformsFromAbi(const VexaTransforms& t) {
    Transforms<float> r;
    r.forward = {t.forward.x, t.forward.y, t.forward.z};
    r.inverse = {t.inverse.x, t.inverse.y, t.inverse.z};
    r.groupForward = t.groupForward;
    r.groupInverse = t.groupInverse;
    r.window = t.window;
    return r;
}

} // namespace vexa
