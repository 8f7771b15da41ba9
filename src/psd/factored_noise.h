#pragma once

#include "core/vec3.h"
#include "psd/variance_kernels.h"

namespace vexa {

// The noise table in factored form. Entry (phi', psi) of K3fT3, psi = (cx,
// cy, cz), phi' = (fx, fy, fz), fx < W.x, is a product of the transforms'
// power responses and the PSD: x[cx][fx] * y[cy][fy] * z[cz][fz] * P(phi'),
// equal up to rounding. The 1/|F|^2 scale and the fold along x live in the x
// rows (B.x rows of W.x), y and z have B.y rows of F.y and B.z rows of F.z.
// A flat PSD keeps its value in the x rows too, a product of axis profiles
// (noise filtered along each axis on its own: a Gaussian blur, a k-space
// window) its profiles in the three rows, and psd stays null. Any other PSD
// is held over the working grid in psd, rows of W.x padded with zeros to a
// multiple of eight (row floats), F.y rows per plane. Empty (x null) when the
// PSD is not finite or memory was short.
struct FactoredNoise {
    float* x = nullptr;
    float* y = nullptr;
    float* z = nullptr;
    float* psd = nullptr;
    int row = 0;
    Vec3<int> B{0, 0, 0};
    Vec3<int> W{0, 0, 0};

    FactoredNoise() = default;
    FactoredNoise(const FactoredNoise&) = delete;
    FactoredNoise& operator=(const FactoredNoise&) = delete;
    ~FactoredNoise();
    bool valid() const { return x != nullptr; }
};

// Fills out (emptied first) from the PSD resampled to F. Flat means every
// value of the working grid W within a relative 1e-6 of their mean (white
// noise), a product every value within a relative 1e-6 of the product of the
// profiles. Its layer sums agree with K3fT3's to float rounding; where out
// stays empty the variances use K3fT3.
void computeFactoredNoise(const float* psd, const Vec3<int>& psdSize, const Vec3<int>& F,
                          const Vec3<int>& W, const Vec3<int>& B, const Vec3<const float*>& forward,
                          FactoredNoise& out);

// True when factoredLayerSums can take the maps of weights: the factors'
// grid, unit x stride, weighted maps and partial sums that fit its scratch.
bool factoredFits(const FactoredNoise& s, const LayerWeights& weights);

// out[psi + n*w] = sum over the layers of weights of K3fT3's entry times
// weight(w, phi'), n = |B|, computed as three axis contractions (z, y, x):
// about |F|/B.x times fewer products than the layer sums, equal to them up
// to float rounding.
void factoredLayerSums(const FactoredNoise& s, const LayerWeights& weights, float* out);

} // namespace vexa
