#pragma once

#include <cstddef>
#include <string>

#include "core/complex.h"
#include "core/cube4d.h"
#include "core/memory.h"
#include "core/vec3.h"
#include "interface/parameters.h"
#include "matching/block_distance.h"

namespace vexa {

// Trilinear resampling of the PSD to target (top edge clamped), scaled by the
// ratio of grid volumes. out is null when allocation fails.
void resizePSD(const float* psd, const Vec3<int>& sourceSize, const Vec3<int>& targetSize,
               const Vec3<int>& loopSize, float*& out);

// Power response |DFT(row i)|^2 at N frequencies for every row of an n x n
// matrix (n*N floats, caller frees). out is null when allocation fails.
template <class T>
void transformToFourier(int n, int N, const T* matrix, T*& out);

// Unscaled forward DFT for n in {4, 8, 16, 32, 64}; other n throw
// std::invalid_argument. in and out must not overlap. fftReal reads only the
// real parts of in.
void fftReal(int n, const Complex* in, Complex* out);
void fftComplex(int n, const Complex* in, Complex* out);

// The 64-point transform (table-driven radix-2), also reached through fftComplex(64).
void FFTComplex64(const Complex* in, Complex* out);

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
// place. Allocates nothing; uses one slice of temp's spectrum and plane cubes.
template <class T>
void calculateVariances(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W, int E,
                        const T* G, const T* K3fT3, const T* localVar, Cube4D<T>& variances,
                        BlockDistance<T>* members, TempMemory<T>& temp);

// 3-D DFT of the position maps w < count and their power at the frequencies
// with fx < W.x, stored at power(fz, fy, fx, w). Map columns x >= W.x are left
// unfinished: only the power is the result.
template <class T>
void transformVariancePlane(const Vec3<int>& F, const Vec3<int>& W, int count,
                            Cube4D<Complex>& maps, Cube4D<T>& power, const bool* rowMask,
                            TempMemory<T>& temp);

// Checks the parameters the noise-spectrum code relies on (psdResampleSize
// components in {1, 4, 8, 16, 32, 64}, PSD size, grid products in range).
// Returns "" when they are usable, else one line naming the parameter and
// the allowed values.
std::string validateNoiseParameters(const Parameters& params);

} // namespace vexa
