#pragma once

#include "blocks/block_collection.h"
#include "core/image_data.h"
#include "core/memory.h"
#include "interface/parameters.h"
#include "interface/transforms.h"
#include "matching/block_distance.h"
#include "vexa.h"

namespace vexa {

// Filters the group of one reference location and adds its blocks, weighted,
// into output (numerator) and weights (denominator) under the stage's lock.
// Stage HT thresholds the group of collection; stage Wie matches on pilot and
// Wiener-filters the noisy group of collection.
template <StageName S, class T>
void processReferenceLocation(const Vec3<int>& reference, const Parameters& params,
                              const TransformsMeta<T>& meta, const float* distanceBias,
                              const T* K3fT3, const T* localVar, int referenceIndex,
                              const BlockCollection<T>& collection, ImageDataMutable<T>& output,
                              ImageDataMutable<T>& weights, Memory<T>& memory, TempMemory<T>& temp,
                              const BlockCollection<T>* pilot, BlockMatchStorage* storage);

// The steps of the two filters, exposed one by one so they can be tested on
// their own. count is the number of coefficients worked on (layers * block).

// Zeroes every coefficient k >= 1 with variance[k] * threshold > c[k]^2 and its
// variance; element 0 and NaN comparisons keep their values.
template <class T>
void hardThresholdGroup(T* coeffs, T* variances, int count, float threshold);

// Alpha-rooting towards |c0|: c = sign(c) * d^(1-e) * |c|^e, with e = alpha
// outside the first z frequency slice and alphaFirstSlice inside it. Skipped
// when c0 is 0. With rescaleVariances the variances follow the new values.
template <class T>
void sharpenGroup(T* coeffs, T* variances, int count, const Vec3<int>& blockSize, float alpha,
                  float alphaFirstSlice, bool rescaleVariances);

// Empirical Wiener shrinkage of noisy against pilot, element 0 included;
// variances become W^2 * variance.
template <class T>
void wienerShrinkGroup(const T* pilot, T* noisy, T* variances, int count, float wienerFactor);

// Residual noise variance of each of the n filtered blocks: layer sums of the
// variances into layerSums, spread by the squared entries of the n x n inverse
// group matrix into blockVariances. Returns their sum.
template <class T>
T computeBlockVariances(const T* variances, int n, int blockCoefficients, const T* inverseGroup,
                        T* layerSums, T* blockVariances);

// Adds the n blocks of estimates (volume domain, block order) at the members'
// positions: estimate * window / max(1e-8, v) into output and
// window / max(v, floor) into weights, floor = max(1e-8, 1e-4 * mean v).
// The caller holds the stage's lock. Rows run contiguously so they vectorise.
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
