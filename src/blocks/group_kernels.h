#pragma once

namespace vexa {

// Transforms across the group for every coefficient position at once, each
// position computed with exactly the operations (and order) of the
// one-position routines of block_transforms.h, so results agree bitwise.
// Layer k of the input starts at in[k] (c floats each); layer j of the output
// at out + c*j. n is the group length.

// Fast forward Haar, n in {4, 8, 16, 32}.
void haarForwardLayers(const float* const* in, int n, float* out, int c);
// Fast inverse Haar, n in {4, 8, 16, 32}.
void haarInverseLayers(const float* const* in, int n, float* out, int c);
// out layer j = sum over k of matrix[j*n + k] * layer k, accumulated from k = 0;
// terms with a zero weight (k >= 1) are skipped, which for finite input changes
// no value (at most the sign of a zero sum).
void matrixProductLayers(const float* const* in, int n, const float* matrix, float* out, int c);

// The two builds behind the dispatch above (group_kernels_impl.h).
namespace kernels_base {
void haarForwardLayers(const float* const* in, int n, float* out, int c);
void haarInverseLayers(const float* const* in, int n, float* out, int c);
void matrixProductLayers(const float* const* in, int n, const float* matrix, float* out, int c);
} // namespace kernels_base
namespace kernels_avx2 {
void haarForwardLayers(const float* const* in, int n, float* out, int c);
void haarInverseLayers(const float* const* in, int n, float* out, int c);
void matrixProductLayers(const float* const* in, int n, const float* matrix, float* out, int c);
} // namespace kernels_avx2

} // namespace vexa
