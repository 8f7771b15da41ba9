#pragma once

#include "core/image_data.h"
#include "core/memory.h"
#include "core/vec3.h"
#include "interface/parameters.h"

namespace vexa {

// The working frequency grid: psdResampleSize, folded along x when
// psdSymmetry applies.
Vec3<int> computeWorkSize(const Parameters& params);

// Entries of the block-matching correction table.
long long distanceBiasEntries(const Vec3<int>& searchRadius);

// Fills the correction table: for every displacement d the expected squared
// distance that the noise alone puts between two blocks d apart, times
// matchNoiseFactor; zeros in stage Wie, for matchNoiseFactor <= 0 (or NaN)
// and when groups cannot hold a second block. False when the pair scratch
// cannot be allocated.
bool fillDistanceBias(StageName stage, const Parameters& params, const Vec3<int>& workSize,
                      const float* K3fT3, TempMemory<float>& temp, float* distanceBias);

// output /= weights voxel by voxel; a voxel without weight takes the noisy
// value instead of 0/0.
void normaliseOutput(ImageDataMutable<float>& output, const ImageDataMutable<float>& weights,
                     const ImageData<float>& noisy);

} // namespace vexa
