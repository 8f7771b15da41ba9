#pragma once

#include "core/vec3.h"
#include "psd/variance_kernels.h"

namespace vexa {

// The noise table of a separable PSD in factored form: entry (phi', psi) of
// K3fT3 equals x[cx][fx] * y[cy][fy] * z[cz][fz] up to rounding, where psi =
// (cx, cy, cz), phi' = (fx, fy, fz) and fx < W.x. Each row is a transform's
// power response times the PSD's profile along that axis; the 1/|F|^2 scale
// and the fold along x live in the x rows (B.x rows of W.x), y and z have
// B.y rows of F.y and B.z rows of F.z. Empty (x null) when the PSD is not a
// product of axis profiles or memory was short.
struct SeparableNoise {
    float* x = nullptr;
    float* y = nullptr;
    float* z = nullptr;
    Vec3<int> B{0, 0, 0};
    Vec3<int> W{0, 0, 0};

    SeparableNoise() = default;
    SeparableNoise(const SeparableNoise&) = delete;
    SeparableNoise& operator=(const SeparableNoise&) = delete;
    ~SeparableNoise();
    bool valid() const { return x != nullptr; }
};

// Fills out (emptied first) when the PSD resampled to F is separable over
// the working grid W: every value within a relative 1e-6 of the product of
// three axis profiles (white noise, and noise filtered along each axis on its
// own, such as a Gaussian blur or an apodised k-space). Its layer sums then
// agree with K3fT3's to float rounding; any other PSD leaves out empty and
// the variances use K3fT3.
void computeSeparableNoise(const float* psd, const Vec3<int>& psdSize, const Vec3<int>& F,
                           const Vec3<int>& W, const Vec3<int>& B,
                           const Vec3<const float*>& forward, SeparableNoise& out);

// True when separableLayerSums can take the maps of weights: the factors'
// grid, unit x stride, partial sums that fit its scratch.
bool separableFits(const SeparableNoise& s, const LayerWeights& weights);

// out[psi + n*w] = sum over the layers of weights of K3fT3's entry times
// weight(w, phi'), n = |B|, computed as three axis contractions (z, y, x):
// about |F|/B.x times fewer products than the layer sums, equal to them up
// to float rounding.
void separableLayerSums(const SeparableNoise& s, const LayerWeights& weights, float* out);

} // namespace vexa
