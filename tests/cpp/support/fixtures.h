// Test scenes shared by the C++ tests, the examples and the benchmarks: the
// synthetic phantom, white noise and its PSD, PSNR, and a parameter block for
// the built-in transform sets. Uses the public C interface only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "vexa.h"

namespace vexa_fixtures {

// Two balls and a slab in a smooth background, values in [0, 1], x fastest.
inline std::vector<float> phantomVolume(int n) {
    std::vector<float> v(static_cast<std::size_t>(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                float s = 0.3f + 0.2f * static_cast<float>(z) / n;
                const float ax = x - 0.35f * n, ay = y - 0.4f * n, az = z - 0.5f * n;
                if (ax * ax + ay * ay + az * az < 0.05f * n * n) s = 0.85f;
                const float bx = x - 0.7f * n, by = y - 0.65f * n, bz = z - 0.35f * n;
                if (bx * bx + by * by + bz * bz < 0.02f * n * n) s = 0.1f;
                if (x > (3 * n) / 4 && z > (3 * n) / 5) s = 0.6f;
                v[x + n * (y + n * static_cast<std::size_t>(z))] = s;
            }
    return v;
}

// clean plus Gaussian noise of standard deviation sigma, drawn in storage
// order from a generator seeded with seed.
inline std::vector<float> withWhiteNoise(std::vector<float> clean, float sigma, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, sigma);
    for (float& v : clean) v += normal(rng);
    return clean;
}

// The PSD of white noise of standard deviation sigma on a grid of `points`
// points, in the library's convention: sigma^2 times the number of points.
inline std::vector<float> whitePsd(long long points, float sigma) {
    return std::vector<float>(static_cast<std::size_t>(points),
                              sigma * sigma * static_cast<float>(points));
}

// Peak signal-to-noise ratio in dB for data of range 1.
inline double psnr(const std::vector<float>& clean, const std::vector<float>& estimate) {
    double mse = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        const double d = double(clean[i]) - estimate[i];
        mse += d * d;
    }
    mse /= clean.size();
    return 10.0 * std::log10(1.0 / mse);
}

// A parameter block for the built-in transform sets: 8x8 blocks on an image
// (imageSize.z == 1), 4x4x4 blocks on a volume. stage 0 is the
// hard-thresholding stage, 1 the Wiener stage; noiseVariance sets the
// match threshold (per block coefficient).
inline VexaParameters stageParameters(const VexaVec3i& imageSize, const VexaVec3i& psdSize,
                                      int stage, float noiseVariance, int numThreads) {
    VexaParameters p;
    std::memset(&p, 0, sizeof p);
    const bool flat = imageSize.z == 1;
    p.blockSize = flat ? VexaVec3i{8, 8, 1} : VexaVec3i{4, 4, 4};
    p.psdResampleSize = flat ? VexaVec3i{16, 16, 1} : VexaVec3i{8, 8, 8};
    p.psdSymmetry = 1;
    p.maxGroupSize = stage == 0 ? 16 : 32;
    p.varianceGroupSize = 4;
    p.hardThreshold = 2.7f * 2.7f;
    p.wienerFactor = 1.0f;
    p.matchNoiseFactor = 1.0f;
    p.searchRadius = flat ? VexaVec3i{8, 8, 0} : VexaVec3i{3, 3, 3};
    p.imageSize = imageSize;
    p.psdSize = psdSize;
    p.step = flat ? VexaVec3i{3, 3, 1} : VexaVec3i{3, 3, 3};
    p.minGroupSize = 1;
    const int b = p.blockSize.x * p.blockSize.y * p.blockSize.z;
    p.matchThreshold = (stage == 0 ? 1.5f : 0.5f) * b * noiseVariance;
    p.numThreads = numThreads;
    return p;
}

// An empty transform set: the stage takes the built-in one of its block size.
inline VexaTransforms builtInTransforms() {
    VexaTransforms t;
    std::memset(&t, 0, sizeof t);
    return t;
}

} // namespace vexa_fixtures
