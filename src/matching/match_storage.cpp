#include "matching/match_storage.h"

#include "core/check.h"
#include "matching/block_matching.h"

namespace vexa {

int largestPowerOfTwoAtMost(int n) {
    if (n < 1) return 0;
    int p = 1;
    while (p <= n / 2) p *= 2;
    return p;
}

namespace {

void checkStore(const BlockMatchStorage& storage, int slot, int maxGroupSize) {
    // A slot narrower than a group would spill into the next slot's members.
    VEXA_CHECK(storage.maxMatches >= maxGroupSize, "storage->maxMatches >= params.maxGroupSize");
    VEXA_CHECK(storage.matchCounts && storage.matchPositions && storage.matchRelativePositions,
               "storage arrays != nullptr");
    VEXA_CHECK(slot >= 0, "referenceIndex >= 0");
}

bool insideBuffer(const BlockCollection<float>& c, const Vec3<int>& p) {
    const Vec3<int>& s = c._bufferStart;
    const Vec3<int>& r = c._bufferRange;
    return p.x >= s.x && p.y >= s.y && p.z >= s.z && p.x < s.x + r.x && p.y < s.y + r.y &&
           p.z < s.z + r.z;
}

} // namespace

void storeMatches(BlockMatchStorage& storage, int slot, int maxGroupSize,
                  const BlockDistance<float>* matches, int count) {
    checkStore(storage, slot, maxGroupSize);
    VEXA_CHECK(count >= 1 && count <= maxGroupSize, "stackSize >= 1 && stackSize <= maxGroupSize");
    storage.matchCounts[slot] = count;
    for (int i = 0; i < count; ++i) {
        const long long e = matchStorageIndex(slot, i, storage.maxMatches);
        storage.matchPositions[e + 0] = matches[i].position.x;
        storage.matchPositions[e + 1] = matches[i].position.y;
        storage.matchPositions[e + 2] = matches[i].position.z;
        storage.matchRelativePositions[e + 0] = matches[i].relativePosition.x;
        storage.matchRelativePositions[e + 1] = matches[i].relativePosition.y;
        storage.matchRelativePositions[e + 2] = matches[i].relativePosition.z;
    }
}

int loadMatches(const BlockMatchStorage& storage, int slot, int maxGroupSize,
                const BlockCollection<float>& collection, BlockDistance<float>* matches) {
    checkStore(storage, slot, maxGroupSize);
    const int stored = storage.matchCounts[slot];
    VEXA_CHECK(stored >= 1, "storage->matchCounts[referenceIndex] >= 1");
    // The filters need a power of two within maxGroupSize; members are stored
    // best first, so cutting the tail drops the worst ones.
    const int n = largestPowerOfTwoAtMost(stored < maxGroupSize ? stored : maxGroupSize);
    for (int i = 0; i < n; ++i) {
        const long long e = matchStorageIndex(slot, i, storage.maxMatches);
        BlockDistance<float>& m = matches[i];
        m.position = {storage.matchPositions[e + 0], storage.matchPositions[e + 1],
                      storage.matchPositions[e + 2]};
        m.relativePosition = {storage.matchRelativePositions[e + 0],
                              storage.matchRelativePositions[e + 1],
                              storage.matchRelativePositions[e + 2]};
        // Checked on every axis here: a stored position outside the buffer
        // would alias another block's slot.
        VEXA_CHECK(insideBuffer(collection, m.position), "stored position inside the block buffer");
        m.block = collection.getBlock(m.position);
    }
    if (n != stored) {
        Vec3<int> minCorner = matches[0].position;
        for (int i = 1; i < n; ++i) {
            const Vec3<int>& p = matches[i].position;
            if (p.x < minCorner.x) minCorner.x = p.x;
            if (p.y < minCorner.y) minCorner.y = p.y;
            if (p.z < minCorner.z) minCorner.z = p.z;
        }
        for (int i = 0; i < n; ++i) matches[i].relativePosition = matches[i].position - minCorner;
    }
    return n;
}

void formGroup(const Vec3<int>& reference, const Parameters& params, const float* distanceBias,
               int referenceIndex, const BlockCollection<float>& collection,
               BlockMatchStorage* storage, Memory<float>& memory) {
    if (storage && storage->reuseMatches) {
        memory.stackSize =
            loadMatches(*storage, referenceIndex, params.maxGroupSize, collection, memory.matches);
        return;
    }
    Vec3<int> start, end;
    setSearchWindow(reference, params.searchRadius, params.blockSize, params.imageSize, start, end);
    getBlockMatches<float>(collection, distanceBias, reference, params.blockSize,
                           params.searchRadius, start, end, params.maxGroupSize,
                           params.minGroupSize, params.matchThreshold, memory.matches,
                           memory.stackSize);
    if (storage)
        storeMatches(*storage, referenceIndex, params.maxGroupSize, memory.matches,
                     memory.stackSize);
}

} // namespace vexa
