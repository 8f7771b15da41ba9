#pragma once

#include "core/vec3.h"

namespace vexa {

// Trilinear resampling of the PSD to target (top edge clamped), scaled by the
// ratio of grid volumes. out is null when allocation fails.
void resizePSD(const float* psd, const Vec3<int>& sourceSize, const Vec3<int>& targetSize,
               const Vec3<int>& loopSize, float*& out);

// Power response |DFT(row i)|^2 at N frequencies for every row of an n x n
// matrix (n*N floats, caller frees). out is null when allocation fails.
template <class T>
void transformToFourier(int n, int N, const T* matrix, T*& out);

} // namespace vexa
