#pragma once

#include "core/block_distance.h"
#include "core/image_data.h"
#include "core/vec3.h"

namespace vexa {

// Adds the n blocks of estimates (volume domain, block order) at the members'
// positions: estimate * window / max(1e-8, v) into output and
// window / max(v, floor) into weights, floor = max(1e-8, 1e-4 * mean v).
// No other job may write these voxels meanwhile (the caller's schedule sees
// to that). Rows run contiguously so they vectorise.
template <class T>
void aggregateGroup(const BlockDistance<T>* members, int n, const T* estimates,
                    const T* blockVariances, const T* window, const Vec3<int>& blockSize,
                    ImageDataMutable<T>& output, ImageDataMutable<T>& weights);

// Element-by-element version of aggregateGroup through the views' indexing;
// the vectorised one must agree with it.
template <class T>
void aggregateGroupReference(const BlockDistance<T>* members, int n, const T* estimates,
                             const T* blockVariances, const T* window, const Vec3<int>& blockSize,
                             ImageDataMutable<T>& output, ImageDataMutable<T>& weights);

} // namespace vexa
