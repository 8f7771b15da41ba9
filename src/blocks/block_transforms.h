#pragma once

#include "core/block_distance.h"
#include "core/vec3.h"
#include "transforms/transform_kinds.h"

namespace vexa {

// Strided view of a sequence: element i is base[i * k] for float pointers, and
// coefficient k of the i-th record's block for group records.
template <class T, bool Strided>
struct IndexerBase;

template <>
struct IndexerBase<float*, true> {
    float* base;
    int k;
    float& operator[](int i) const { return base[i * k]; }
};

template <>
struct IndexerBase<const float*, true> {
    const float* base;
    int k;
    float operator[](int i) const { return base[i * k]; }
};

template <>
struct IndexerBase<BlockDistance<float>*, true> {
    const BlockDistance<float>* base;
    int k;
    float operator[](int i) const { return base[i].block[k]; }
};

// Separable 3-D transform of one block: x pass into scratchA, y pass into
// output (nz = 1) or scratchB, z pass into output. The 8-point DCT and
// biorthogonal butterflies apply on x and y for tags 5, 6, 21, 22; every other
// case is the matrix product. input may equal output.
template <class T>
void transf3D(const T* input, const Vec3<const T*>& matrices,
              const Vec3<TransformsMetas::StandardTransform>& tags, T* scratchA, T* scratchB,
              T* output, const Vec3<int>& size);

// transf3D of every block whose origin lies in the box [lo, lo + count) of
// the volume (data, its size), each written to its slot of the ring (slots
// of slotFloats floats, every axis wrapping modulo ringRange), through the
// region products when the size has one and neither x nor y has a fast path.
// Returns false, writing nothing, otherwise.
bool transformRegion(const float* data, const Vec3<int>& volumeSize, const Vec3<int>& lo,
                     const Vec3<int>& count, const Vec3<const float*>& matrices,
                     const Vec3<TransformsMetas::StandardTransform>& tags, const Vec3<int>& size,
                     float* ring, long slotFloats, const Vec3<int>& ringRange);

// Plain reference: three matrix products, no fast path (for tests and checks).
template <class T>
void transf3DReference(const T* input, const Vec3<const T*>& matrices, T* scratchA, T* scratchB,
                       T* output, const Vec3<int>& size);

// Orthonormal multi-level Haar along the group dimension, n in {4, 8, 16, 32}.
void forwardHaar_32_16_8_4_2_1(const IndexerBase<BlockDistance<float>*, true>& in,
                               IndexerBase<float*, true>& out, int n);
void forwardHaar_32_16_8_4_2_1(const IndexerBase<const float*, true>& in,
                               IndexerBase<float*, true>& out, int n);
void invHaar_32_16_8_4_2_1(const IndexerBase<const float*, true>& in,
                           IndexerBase<float*, true>& out, int n);

} // namespace vexa
