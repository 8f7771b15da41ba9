#pragma once

namespace vexa {

// Squared distances of eight candidate blocks to a reference, advanced over
// the coefficients [from, to): d[k] += (blocks[k][i] - ref[i])^2 for i from
// `from` upward, one rounding per difference, per square and per sum (no
// fused multiply-add), so every lane equals the one-candidate loop bitwise.
void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d);
// The same for sixteen candidates: two chains of eight in flight, which hides
// the latency of the additions that one chain of eight waits on.
void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d);

namespace kernels_base {
void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d);
void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d);
} // namespace kernels_base
namespace kernels_avx2 {
void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d);
void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d);
} // namespace kernels_avx2

} // namespace vexa
