#pragma once

#include "core/vec3.h"

namespace vexa {

// Noise table K3fT3 (|B|*|F| floats, caller frees): entry psi + |B|*phi' holds
// the share of frequency phi' (x slowest) in the variance of 3-D coefficient
// psi, folded along x when W.x < F.x. out is left untouched when an allocation
// fails. W must satisfy W.x <= F.x, W.y = F.y, W.z = F.z (checked).
template <class T>
void computeK3fT3(const float* psd, const Vec3<int>& psdSize, Vec3<int> F, const Vec3<int>& W,
                  const Vec3<int>& B, const Vec3<const T*>& forward, T*& out);

// Step of computeK3fT3; the sizes are given z, y, x so that its loops run x slowest.
template <class T>
void calculateK3fT3(const T* psd, const T* responses, const Vec3<int>& B,
                    const Vec3<int>& gridReversed, const Vec3<int>& workReversed, T*& out);

// localVar[psi]: the sum of the first |W| layers of K3fT3 (n = |B| floats,
// caller frees); null when allocation fails.
void computeLocalVar(const float* K3fT3, const Vec3<int>& W, int n, float*& out);

} // namespace vexa
