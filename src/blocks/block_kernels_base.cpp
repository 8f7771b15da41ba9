// Baseline x86-64 build of the fixed-size block products, and the run-time dispatch.
#define VEXA_KERNEL_NS kernels_base
#include "blocks/block_kernels_impl.h"

#include "core/cpu_dispatch.h"

namespace vexa {

bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz,
                       float* out, int nx, int ny, int nz) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::blockProductFixed(in, mx, my, mz, out, nx, ny, nz);
    return kernels_base::blockProductFixed(in, mx, my, mz, out, nx, ny, nz);
}

bool regionProductFixed(const RegionSource& src, const Vec3<int>& lo, const Vec3<int>& count,
                        const float* mx, const float* my, const float* mz, const Vec3<int>& size,
                        const RegionTarget& out) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::regionProductFixed(src, lo, count, mx, my, mz, size, out);
    return kernels_base::regionProductFixed(src, lo, count, mx, my, mz, size, out);
}

} // namespace vexa
