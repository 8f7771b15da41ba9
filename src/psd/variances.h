#pragma once

#include <cstddef>

#include "core/block_distance.h"
#include "core/complex.h"
#include "core/cube4d.h"
#include "core/memory.h"
#include "core/vec3.h"
#include "psd/factored_noise.h"

namespace vexa {

// out[psi + n*w] = sum over layer < layers of table[psi + n*layer] *
// weights[layer + layers*w] for w < count, each sum in float in increasing
// layer order. weights null: the plain sum of the layers (one vector).
// The reference version is the plain loop the optimised one must agree with.
template <class T>
void weightedLayerSum(const T* table, const T* weights, int count, int n, std::size_t layers,
                      T* out);
template <class T>
void weightedLayerSumReference(const T* table, const T* weights, int count, int n,
                               std::size_t layers, T* out);

// Noise variance of every coefficient (psi, w) of a group of N members: exact
// for w < E, the remainder of N*localVar shared equally for w >= E (localVar
// may be null when E = N). Reduces the members' relativePosition modulo F in
// place. Allocates nothing. The position maps go through their DFT in up to
// four slices of temp's spectrum cube, which then hold their power (the
// one-line path, taken for Fx = 1 or more than 64 members, also uses the
// plane cube); the results are the one-line path's bit for bit. With the
// factored table (factored, valid) the maps' layer sums are taken as axis
// contractions instead: the same variances up to float rounding.
template <class T>
void calculateVariances(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W, int E,
                        const T* G, const T* K3fT3, const T* localVar, Cube4D<T>& variances,
                        BlockDistance<T>* members, TempMemory<T>& temp,
                        const FactoredNoise* factored = nullptr);

// The one-line versions, kept as the reference the batched path must equal
// bitwise: every Fourier line through fftReal/fftComplex.
// transformVariancePlane leaves in power(fz, fy, fx, w) the power of the
// frequencies with fx < W.x of the maps w < count (map columns x >= W.x are
// left unfinished).
template <class T>
void calculateVariancesReference(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W,
                                 int E, const T* G, const T* K3fT3, const T* localVar,
                                 Cube4D<T>& variances, BlockDistance<T>* members,
                                 TempMemory<T>& temp);
template <class T>
void transformVariancePlane(const Vec3<int>& F, const Vec3<int>& W, int count,
                            Cube4D<Complex>& maps, Cube4D<T>& power, const bool* rowMask,
                            TempMemory<T>& temp);

// The group coefficients w >= E of every 3-D coefficient share equally what
// the E exact ones leave of N * localVar (both paths end with it).
template <class T>
void shareRemainingVariance(int N, int E, int nB, const T* localVar, const T* exactSum,
                            Cube4D<T>& variances);

// The argument checks of calculateVariances (sizes of the grids, scratch and cube).
template <class T>
void checkVarianceArguments(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W,
                            int E, const T* localVar, const Cube4D<T>& variances,
                            const TempMemory<T>& temp);

} // namespace vexa
