#pragma once

#include <cstddef>

#include "core/block_distance.h"
#include "core/complex.h"
#include "core/cube4d.h"
#include "core/memory.h"
#include "core/vec3.h"

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

} // namespace vexa
