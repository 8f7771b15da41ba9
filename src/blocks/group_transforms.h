#pragma once

#include "core/block_distance.h"
#include "core/cube4d.h"
#include "core/vec3.h"
#include "transforms/transform_kinds.h"

namespace vexa {

// Forward transform across the group, reading the members' blocks in place.
// Tags 10..13 with their own length use the fast Haar, any other tag the
// matrix product; with n = 1 and no matrix the block is copied (identity).
template <class T>
void transformBlocksNL(const BlockDistance<T>* blocks, int n, const T* matrix,
                       TransformsMetas::StandardTransform tag, Cube4D<T>& out,
                       const Vec3<int>& blockSize);

// Transform across the group between two distinct cubes: tags 26..29 (and
// 10..13) with their own length use the fast Haar, others the matrix product.
template <class T>
void transformBlocksNL(const Cube4D<T>& in, int n, const T* matrix,
                       TransformsMetas::StandardTransform tag, Cube4D<T>& out,
                       const Vec3<int>& blockSize);

// Plain matrix products of the two forms above (no fast path), kept to check
// the vectorised product and the fast Haar against.
void transformBlocksNLReference(const BlockDistance<float>* blocks, int n, const float* matrix,
                                Cube4D<float>& out, const Vec3<int>& blockSize);
void transformBlocksNLReference(const Cube4D<float>& in, int n, const float* matrix,
                                Cube4D<float>& out, const Vec3<int>& blockSize);

// The 1x1 identity, used for groups of one block when the tables lack one.
extern const float GROUP_IDENTITY_1[1];

} // namespace vexa
