#pragma once

#include "core/memory.h"
#include "core/parameters.h"
#include "core/vec3.h"

namespace vexa {

// Entries of the block-matching correction table.
long long distanceBiasEntries(const Vec3<int>& searchRadius);

// Fills the correction table: for every displacement d the expected squared
// distance that the noise alone puts between two blocks d apart, times
// matchNoiseFactor; zeros in stage Wie, for matchNoiseFactor <= 0 (or NaN)
// and when groups cannot hold a second block. False when the pair scratch
// cannot be allocated.
bool fillDistanceBias(StageName stage, const Parameters& params, const Vec3<int>& workSize,
                      const float* K3fT3, TempMemory<float>& temp, float* distanceBias);

} // namespace vexa
