#pragma once

#include "core/vec3.h"

namespace vexa {

// The steps of the two filters, one by one so they can be tested on their
// own. count is the number of coefficients worked on (layers * block).

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

} // namespace vexa
