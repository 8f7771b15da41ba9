#pragma once

#include <cstdint>

#include "core/vec3.h"
#include "vexa.h"

namespace vexa {

enum StageName : int { HT = 0, Wie = 1 };

// The parameter block as the library reads it. Same byte layout as
// VexaParameters; flags are normalised to 0/1 when converted from the ABI.
struct Parameters {
    Vec3<int> blockSize;
    Vec3<int> psdResampleSize;
    bool psdSymmetry;
    std::uint8_t _pad0[3];
    int maxGroupSize;
    int varianceGroupSize;
    float hardThreshold;
    float wienerFactor;
    float matchNoiseFactor;
    Vec3<int> searchRadius;
    Vec3<int> imageSize;
    Vec3<int> psdSize;
    Vec3<int> step;
    int minGroupSize;
    float matchThreshold;
    bool splitBlockExtraction[3];
    std::uint8_t _pad1;
    Vec3<int> gridShiftCount;
    Vec3<const int*> gridShift;
    bool deterministic;
    std::uint8_t _reserved[3];
    bool sharpen;
    bool sharpenVariances;
    std::uint8_t _pad2[2];
    float sharpenAlpha;
    float sharpenAlphaFirstSlice;
    int numThreads;
    std::uint8_t _pad3[4];
};

// Per-axis block matrices, group tables indexed by group length, window.
template <class T>
struct Transforms {
    Vec3<const T*> forward;
    Vec3<const T*> inverse;
    const T* const* groupForward;
    const T* const* groupInverse;
    const T* window;
};

// Field-wise copy of the caller's block (any non-zero flag byte is true).
Parameters parametersFromAbi(const VexaParameters& p);
Transforms<float> transformsFromAbi(const VexaTransforms& t);

} // namespace vexa
