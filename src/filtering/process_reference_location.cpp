#include "filtering/process_reference_location.h"

#include <algorithm>

#include "blocks/block_transforms.h"
#include "blocks/group_transforms.h"
#include "core/check.h"
#include "filtering/aggregation.h"
#include "filtering/group_filters.h"
#include "matching/match_storage.h"
#include "psd/variances.h"

namespace vexa {
namespace {

struct GroupMatrices {
    const float* forward;
    const float* inverse;
    TransformsMetas::StandardTransform kind;
};

// The built-in group tables have no length-1 entry; a lone reference block
// is then transformed by the 1x1 identity.
GroupMatrices groupMatricesFor(const TransformsMeta<float>& meta, int n) {
    GroupMatrices m;
    m.forward = meta.groupForward[n];
    m.inverse = meta.groupInverse[n];
    m.kind = meta.groupForwardKind ? meta.groupForwardKind[n] : TransformsMetas::ARBITRARY;
    if (n == 1 && !m.forward) {
        m.forward = GROUP_IDENTITY_1;
        m.kind = TransformsMetas::ARBITRARY;
    }
    if (n == 1 && !m.inverse) m.inverse = GROUP_IDENTITY_1;
    return m;
}

} // namespace

template <StageName S, class T>
void processReferenceLocation(const Vec3<int>& reference, const Parameters& params,
                              const TransformsMeta<T>& meta, const float* distanceBias,
                              const T* K3fT3, const T* localVar, int referenceIndex,
                              const BlockCollection<T>& collection, ImageDataMutable<T>& output,
                              ImageDataMutable<T>& weights, Memory<T>& memory, TempMemory<T>& temp,
                              const BlockCollection<T>* pilot, BlockMatchStorage* storage,
                              const FactoredNoise* factored) {
    const Vec3<int>& blockSize = params.blockSize;

    // The group (steps 5.1 to 5.5 of docs/design.md): stage Wie matches on the pilot.
    if (S == Wie) VEXA_CHECK(pilot != nullptr, "pilot != nullptr");
    const BlockCollection<T>& matchedIn = S == HT ? collection : *pilot;
    formGroup(reference, params, distanceBias, referenceIndex, matchedIn, storage, memory);
    const int n = memory.stackSize;
    VEXA_CHECK(n >= 1 && n <= params.maxGroupSize,
               "memory.stackSize >= 1 && memory.stackSize <= params.maxGroupSize");
    VEXA_CHECK((n & (n - 1)) == 0, "((memory.stackSize & (memory.stackSize - 1)) == 0)");
    const GroupMatrices g = groupMatricesFor(meta, n);
    VEXA_CHECK(g.forward != nullptr && g.inverse != nullptr,
               "groupForward[stackSize] and groupInverse[stackSize] exist");

    // Forward group transform (step 5.6); stage Wie then switches to the noisy blocks.
    transformBlocksNL(memory.matches, n, g.forward, g.kind, memory.group, blockSize);
    Cube4D<T>* filtered = &memory.group;
    if (S == Wie) {
        for (int j = 0; j < n; ++j)
            memory.matches[j].block = collection.getBlock(memory.matches[j].position);
        transformBlocksNL(memory.matches, n, g.forward, g.kind, memory.noisyGroup, blockSize);
        filtered = &memory.noisyGroup;
    }

    // Noise variance of every group coefficient (step 5.7).
    const int exact = std::max(0, std::min(n, params.varianceGroupSize));
    calculateVariances(n, blockSize, params.psdResampleSize, memory.workSize, exact, g.forward,
                       K3fT3, localVar, memory.variances, memory.matches, temp, factored);

    // Shrinkage (step 5.8). Layers from n upward hold nothing of this group.
    const int blockCoefficients = blockSize.volume();
    const int count = n * blockCoefficients;
    if (S == HT) {
        hardThresholdGroup(memory.group.data, memory.variances.data, count, params.hardThreshold);
        if (params.sharpen)
            sharpenGroup(memory.group.data, memory.variances.data, count, blockSize,
                         params.sharpenAlpha, params.sharpenAlphaFirstSlice,
                         params.sharpenVariances);
    } else {
        wienerShrinkGroup(memory.group.data, memory.noisyGroup.data, memory.variances.data, count,
                          params.wienerFactor);
    }

    // Back to blocks in the volume domain (step 5.9).
    transformBlocksNL(*filtered, n, g.inverse, TransformsMetas::inverseOf(g.kind), memory.estimates,
                      blockSize);
    for (int j = 0; j < n; ++j) {
        T* layer = memory.estimates.data + static_cast<long>(j) * blockCoefficients;
        transf3D(layer, meta.inverse, meta.inverseKind, temp.blockScratchA, temp.blockScratchB,
                 layer, blockSize);
    }

    // Residual variance per block, then the weighted blocks into the volumes (step 5.10).
    computeBlockVariances(memory.variances.data, n, blockCoefficients, g.inverse,
                          temp.memberScratch, memory.blockVariances);
    aggregateGroup(memory.matches, n, memory.estimates.data, memory.blockVariances, meta.window,
                   blockSize, output, weights);
}

template void processReferenceLocation<HT, float>(
    const Vec3<int>&, const Parameters&, const TransformsMeta<float>&, const float*, const float*,
    const float*, int, const BlockCollection<float>&, ImageDataMutable<float>&,
    ImageDataMutable<float>&, Memory<float>&, TempMemory<float>&, const BlockCollection<float>*,
    BlockMatchStorage*, const FactoredNoise*);
template void processReferenceLocation<Wie, float>(
    const Vec3<int>&, const Parameters&, const TransformsMeta<float>&, const float*, const float*,
    const float*, int, const BlockCollection<float>&, ImageDataMutable<float>&,
    ImageDataMutable<float>&, Memory<float>&, TempMemory<float>&, const BlockCollection<float>*,
    BlockMatchStorage*, const FactoredNoise*);

} // namespace vexa
