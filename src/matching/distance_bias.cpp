#include "matching/distance_bias.h"

#include <cstddef>

#include "core/allocator.h"
#include "core/block_distance.h"
#include "core/cube4d.h"
#include "psd/variances.h"
#include "transforms/transform_tables.h"

namespace vexa {

long long distanceBiasEntries(const Vec3<int>& r) {
    return (2LL * r.x + 1) * (2LL * r.y + 1) * (2LL * r.z + 1);
}

bool fillDistanceBias(StageName stage, const Parameters& params, const Vec3<int>& workSize,
                      const float* K3fT3, TempMemory<float>& temp, float* distanceBias) {
    const Vec3<int>& r = params.searchRadius;
    const long long entries = distanceBiasEntries(r);
    // With maxGroupSize 1 no candidate is ever compared, and the scratch has
    // room for one layer only.
    if (stage == Wie || !(params.matchNoiseFactor > 0.0f) || params.maxGroupSize < 2) {
        for (long long i = 0; i < entries; ++i) distanceBias[i] = 0.0f;
        return true;
    }
    const Vec3<int>& b = params.blockSize;
    const int blockCoefficients = b.volume();
    Cube4D<float> pairVariances;
    pairVariances.size = {b.x, b.y, b.z, 2};
    pairVariances.data = static_cast<float*>(
        cMalloc(sizeof(float) * 2 * static_cast<std::size_t>(blockCoefficients)));
    if (pairVariances.data == nullptr) return false;
    struct Release {
        float* p;
        ~Release() { cFree(p); }
    } release{pairVariances.data};

    long long index = 0;
    for (int dz = -r.z; dz <= r.z; ++dz)
        for (int dy = -r.y; dy <= r.y; ++dy)
            for (int dx = -r.x; dx <= r.x; ++dx, ++index) {
                BlockDistance<float> pair[2];
                pair[0].relativePosition = r;
                pair[1].relativePosition = {r.x + dx, r.y + dy, r.z + dz};
                calculateVariances(2, b, params.psdResampleSize, workSize, 2, SIZE_2_TRANSFORM,
                                   K3fT3, static_cast<const float*>(nullptr), pairVariances, pair,
                                   temp);
                const float* difference = pairVariances.data + blockCoefficients;
                float sum = 0.0f;
                for (int i = 0; i < blockCoefficients; ++i) sum += difference[i];
                distanceBias[index] = (sum + sum) * params.matchNoiseFactor;
            }
    return true;
}

} // namespace vexa
