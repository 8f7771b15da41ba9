#pragma once

#include <cstddef>

#include "core/vec3.h"

namespace vexa {

// A volume read by the region products, and the ring of block slots they
// write: origin p goes to data + slot(p) * slotFloats, every axis of the slot
// index wrapping modulo range.
struct RegionSource {
    const float* data;
    std::ptrdiff_t rowStride, sliceStride;
    int originsX; // block origins along x: the volume's width - block width + 1
};
struct RegionTarget {
    float* data;
    long slotFloats;
    Vec3<int> range;
};

// Lanes of the region products: origins transformed together along x. A
// volume with fewer origins per row has no region product.
constexpr int kRegionLanes = 8;

// The separable 3-D product of one block whose size is known at compile time
// (4x4x4, 8x8x1 and 6x6x6): x pass, y pass, z pass, every output summed from
// k = 0 upward exactly as the general loops do, so results agree bitwise.
// in may equal out. Returns false for
// a size without a fixed kernel (nothing is written then).
bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz,
                       float* out, int nx, int ny, int nz);

// The same products for every block whose origin lies in the box
// [lo, lo + count), read straight from the volume: neighbouring blocks share
// their x and y passes (a row of the volume is transformed once for all the
// blocks that hold it), eight origins along x go through each pass together,
// and every output is still summed from k = 0 upward, so each slot equals
// blockProductFixed of its block bit for bit. Returns false, writing
// nothing, for a size without a fixed kernel or rows of fewer than
// kRegionLanes origins.
bool regionProductFixed(const RegionSource& src, const Vec3<int>& lo, const Vec3<int>& count,
                        const float* mx, const float* my, const float* mz, const Vec3<int>& size,
                        const RegionTarget& out);

// The two builds behind the dispatch above (block_kernels_impl.h).
namespace kernels_base {
bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz,
                       float* out, int nx, int ny, int nz);
bool regionProductFixed(const RegionSource& src, const Vec3<int>& lo, const Vec3<int>& count,
                        const float* mx, const float* my, const float* mz, const Vec3<int>& size,
                        const RegionTarget& out);
} // namespace kernels_base
namespace kernels_avx2 {
bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz,
                       float* out, int nx, int ny, int nz);
bool regionProductFixed(const RegionSource& src, const Vec3<int>& lo, const Vec3<int>& count,
                        const float* mx, const float* my, const float* mz, const Vec3<int>& size,
                        const RegionTarget& out);
} // namespace kernels_avx2

} // namespace vexa
