#pragma once

namespace vexa {

// The separable 3-D product of one block whose size is known at compile time
// (4x4x4, 8x8x1 and 6x6x6): x pass, y pass, z pass, every output summed from
// k = 0 upward exactly as the general loops do, so results agree bitwise.
// in may equal out. Returns false for
// a size without a fixed kernel (nothing is written then).
bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz, float* out,
                       int nx, int ny, int nz);

// The two builds behind the dispatch above (block_kernels_impl.h).
namespace kernels_base {
bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz, float* out,
                       int nx, int ny, int nz);
} // namespace kernels_base
namespace kernels_avx2 {
bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz, float* out,
                       int nx, int ny, int nz);
} // namespace kernels_avx2

} // namespace vexa
