#pragma once

#include "blocks/block_collection.h"
#include "core/block_distance.h"
#include "core/memory.h"
#include "core/parameters.h"
#include "core/vec3.h"
#include "vexa.h"

namespace vexa {

// Element index of member `member` of reference slot `slot` in both position
// arrays of the match store (x, then y, then z follow).
inline long long matchStorageIndex(int slot, int member, int maxMatches) {
    return (static_cast<long long>(slot) * maxMatches + member) * 3;
}

// Largest power of two not above n (n >= 1); 0 for n < 1.
int largestPowerOfTwoAtMost(int n);

// Writes count and the members' position / relativePosition into slot.
// Checks that the store has maxMatches >= maxGroupSize and count fits.
void storeMatches(BlockMatchStorage& storage, int slot, int maxGroupSize,
                  const BlockDistance<float>* matches, int count);

// Reads slot back into matches (block from collection, distance untouched)
// and returns the group length. A stored count above maxGroupSize or not a
// power of two is cut to the largest power of two within maxGroupSize, and
// the relative positions are then recomputed over the kept members. A count
// below 1, or a stored position outside the collection's buffer, fails a check.
int loadMatches(const BlockMatchStorage& storage, int slot, int maxGroupSize,
                const BlockCollection<float>& collection, BlockDistance<float>* matches);

// Forms the group of one reference into memory.matches / memory.stackSize:
// read back from storage when it is present with reuseMatches set, otherwise
// searched in collection (and stored when storage is present). Either way
// the length is a power of two within params.maxGroupSize.
void formGroup(const Vec3<int>& reference, const Parameters& params, const float* distanceBias,
               int referenceIndex, const BlockCollection<float>& collection,
               BlockMatchStorage* storage, Memory<float>& memory);

} // namespace vexa
