#pragma once

#include "core/cube4d.h"
#include "core/vec3.h"
#include "interface/transforms.h"
#include "matching/block_distance.h"

namespace vexa {

// Forward transform across the group, reading the members' blocks in place.
template <class T>
void transformBlocksNL(const BlockDistance<T>* blocks, int n, const T* matrix,
                       TransformsMetas::StandardTransform tag, Cube4D<T>& out,
                       const Vec3<int>& blockSize);

// Transform across the group between two distinct cubes.
template <class T>
void transformBlocksNL(const Cube4D<T>& in, int n, const T* matrix,
                       TransformsMetas::StandardTransform tag, Cube4D<T>& out,
                       const Vec3<int>& blockSize);

// The 1x1 identity, used for groups of one block when the tables lack one.
extern const float GROUP_IDENTITY_1[1];

} // namespace vexa
