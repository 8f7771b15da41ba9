#pragma once

#include "blocks/block_collection.h"
#include "core/block_distance.h"
#include "core/image_data.h"
#include "core/memory.h"
#include "core/parameters.h"
#include "psd/factored_noise.h"
#include "transforms/transform_meta.h"
#include "vexa.h"

namespace vexa {

// Filters the group of one reference location and adds its blocks, weighted,
// into output (numerator) and weights (denominator). No lock is taken: the
// caller sees to it that no other job writes the voxels of this group's search
// window at the same time (the stage's line schedule keeps concurrent chunks
// apart; deterministic runs give each job volumes of its own).
// Stage HT thresholds the group of collection; stage Wie matches on pilot and
// Wiener-filters the noisy group of collection. factored: the noise
// table in factored form (null: K3fT3 alone).
template <StageName S, class T>
void processReferenceLocation(const Vec3<int>& reference, const Parameters& params,
                              const TransformsMeta<T>& meta, const float* distanceBias,
                              const T* K3fT3, const T* localVar, int referenceIndex,
                              const BlockCollection<T>& collection, ImageDataMutable<T>& output,
                              ImageDataMutable<T>& weights, Memory<T>& memory, TempMemory<T>& temp,
                              const BlockCollection<T>* pilot, BlockMatchStorage* storage,
                              const FactoredNoise* factored = nullptr);

} // namespace vexa
