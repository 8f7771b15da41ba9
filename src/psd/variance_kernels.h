#pragma once

#include <cstddef>

#include "core/vec3.h"

namespace vexa {

// out[psi + n*w] = sum over layer < layers of table[psi + n*layer] *
// weights[layer + layers*w] for w < count (weights null: the plain sum, one
// vector). Every sum runs in float in increasing layer order, one rounding
// per product and per sum, as the plain loop.
void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out);

// Weights of the layers phi' = fz + nz*(fy + ny*fx) (fx slowest) for `count`
// vectors: weight(w, fx, fy, fz) = data[w*vectorStride + fx*sx + fy*sy + fz*sz].
struct LayerWeights {
    const float* data = nullptr;
    std::size_t vectorStride = 0;
    int count = 0;
    int nx = 0, ny = 0, nz = 0;
    std::size_t sx = 0, sy = 0, sz = 0;
};

// out[psi + n*w] = sum over phi' < nx*ny*nz of table[psi + n*phi'] * weight(w, phi'),
// in float in increasing phi' from 0, product then sum: the plain loop's bits,
// for all vectors in one pass over the table.
void stridedLayerSums(const float* table, int n, const LayerWeights& weights, float* out);

// The position maps of one batch of a group: map b < count has the value
// sum of G[(w0 + b)*N + i] over the members i at each reduced position, added
// in increasing i. The members are listed by occupied row: slot r < rowCount
// is row rows[r] = y + Fy*z and holds the members rowMembers[rowStart[r] ..
// rowStart[r + 1]) in increasing order; member i lies in column xOf[i].
// yOccupied[y]: some row (y, z) is occupied.
//
// transformMapBatch leaves in planes + 2*plane*b, plane = Fz*Fy*Wp, the
// power |DFT(map b)|^2 of frequency (fx, fy, fz), fx < Wx, at
// (fz*Fy + fy)*Wp + fx. Wp is Wx rounded up to the lane width `lanes` (4 or
// 8) and at most Fx, so the planes fit in count slices of the spectrum cube.
// Grid lengths 4, 8, 16, 32, 64, and 1 on y and z; Fx > 1.
struct MapBatch {
    Vec3<int> F{0, 0, 0};
    int Wx = 0;
    int Wp = 0;
    int lanes = 8;
    int count = 0;
    int N = 0;
    const float* G = nullptr;
    int w0 = 0;
    const int* rowStart = nullptr;
    const int* rowMembers = nullptr;
    const int* xOf = nullptr;
    const int* rows = nullptr;
    int rowCount = 0;
    const bool* rowMask = nullptr; // Fy*Fz flags, row y + Fy*z occupied
    const bool* yOccupied = nullptr;
    float* planes = nullptr;
};
void transformMapBatch(const MapBatch& batch);

// L = lanes (4 or 8) lines transformed in place by the lane network: point k
// of lane l at re[k*stride + l]. n in {4, 8, 16, 32, 64}; others throw.
// For tests: every lane must equal fftComplex bitwise.
void fftLanes(int n, int lanes, float* re, float* im, std::size_t stride);

// One map's sums against the factored noise table (see factored_noise.h):
// out[cx + Bx*(cy + By*cz)] = sum over the grid of kx[cx][fx] * ky[cy][fy] *
// kz[cz][fz] * psd(fx, fy, fz) * map[fx + sy*fy + sz*fz], psd 1 where null,
// else rows of nx rounded up to 8, ny rows per plane. Rows are read in whole
// vectors of eight: sy >= nx rounded up to 8, nx <= 64, Bz*ny*that and
// Bz*By*nx at most kFactoredScratch floats, and nz*ny*that as well with psd.
struct FactoredMap {
    const float* kx = nullptr; // Bx rows of nx
    const float* ky = nullptr; // By rows of ny
    const float* kz = nullptr; // Bz rows of nz
    const float* psd = nullptr;
    int Bx = 0, By = 0, Bz = 0;
    int nx = 0, ny = 0, nz = 0;
    const float* map = nullptr;
    std::size_t sy = 0, sz = 0;
    float* out = nullptr;
};
constexpr int kFactoredScratch = 1024;
void factoredMapSums(const FactoredMap& m);

namespace kernels_base {
void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out);
void stridedLayerSums(const float* table, int n, const LayerWeights& weights, float* out);
void transformMapBatch(const MapBatch& batch);
void fftLanes(int n, int lanes, float* re, float* im, std::size_t stride);
void factoredMapSums(const FactoredMap& m);
} // namespace kernels_base
namespace kernels_avx2 {
void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out);
void stridedLayerSums(const float* table, int n, const LayerWeights& weights, float* out);
void transformMapBatch(const MapBatch& batch);
void fftLanes(int n, int lanes, float* re, float* im, std::size_t stride);
void factoredMapSums(const FactoredMap& m);
} // namespace kernels_avx2

} // namespace vexa
