#pragma once

#include "blocks/block_collection.h"
#include "core/block_distance.h"
#include "core/vec3.h"
#include "matching/block_queue.h"

namespace vexa {

// Search window around reference, cut at the volume faces (both ends inclusive).
void setSearchWindow(const Vec3<int>& reference, const Vec3<int>& searchRadius,
                     const Vec3<int>& blockSize, const Vec3<int>& imageSize, Vec3<int>& start,
                     Vec3<int>& end);

// Scans the window and keeps the maxGroupSize - 1 closest candidates,
// sixteen candidates at a time in scan order. A window outside the
// collection's buffer or beyond reference +- searchRadius fails a check.
template <class T>
BlockQueue<T> blockMatching(const BlockCollection<T>& collection, const float* distanceBias,
                            const Vec3<int>& reference, const Vec3<int>& blockSize,
                            const Vec3<int>& searchRadius, const Vec3<int>& start,
                            const Vec3<int>& end, int maxGroupSize);

// The same scan one candidate at a time, in its plainest form; the
// batched blockMatching must give the same queue, record for record.
template <class T>
BlockQueue<T> blockMatchingReference(const BlockCollection<T>& collection,
                                     const float* distanceBias, const Vec3<int>& reference,
                                     const Vec3<int>& blockSize, const Vec3<int>& searchRadius,
                                     const Vec3<int>& start, const Vec3<int>& end,
                                     int maxGroupSize);

// The whole search for one reference: matches[0] is the reference, count the
// group length (a power of two).
template <class T>
void getBlockMatches(const BlockCollection<T>& collection, const float* distanceBias,
                     const Vec3<int>& reference, const Vec3<int>& blockSize,
                     const Vec3<int>& searchRadius, const Vec3<int>& start, const Vec3<int>& end,
                     int maxGroupSize, int minGroupSize, float matchThreshold,
                     BlockDistance<T>* matches, int& count);

} // namespace vexa
