#pragma once

#include "core/allocator.h"
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

// The power responses of the three forward matrices of a B block on the F
// grid (transformToFourier per axis: B.x rows of F.x, ...), freed on scope
// exit. valid() is false when an allocation failed.
template <class T>
struct AxisPowers {
    T* x = nullptr;
    T* y = nullptr;
    T* z = nullptr;
    AxisPowers(const Vec3<int>& B, const Vec3<int>& F, const Vec3<const T*>& forward) {
        transformToFourier<T>(B.x, F.x, forward.x, x);
        transformToFourier<T>(B.y, F.y, forward.y, y);
        transformToFourier<T>(B.z, F.z, forward.z, z);
    }
    ~AxisPowers() {
        cFree(x);
        cFree(y);
        cFree(z);
    }
    AxisPowers(const AxisPowers&) = delete;
    AxisPowers& operator=(const AxisPowers&) = delete;
    bool valid() const { return x != nullptr && y != nullptr && z != nullptr; }
};

} // namespace vexa
