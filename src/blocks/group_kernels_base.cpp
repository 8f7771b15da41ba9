// Baseline x86-64 build of the group kernels, and the run-time dispatch.
#define VEXA_KERNEL_NS kernels_base
#include "blocks/group_kernels_impl.h"

#include "core/cpu_dispatch.h"

namespace vexa {

void haarForwardLayers(const float* const* in, int n, float* out, int c) {
    if (kernelPath() == KernelPath::Avx2) return kernels_avx2::haarForwardLayers(in, n, out, c);
    kernels_base::haarForwardLayers(in, n, out, c);
}

void haarInverseLayers(const float* const* in, int n, float* out, int c) {
    if (kernelPath() == KernelPath::Avx2) return kernels_avx2::haarInverseLayers(in, n, out, c);
    kernels_base::haarInverseLayers(in, n, out, c);
}

void matrixProductLayers(const float* const* in, int n, const float* matrix, float* out, int c) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::matrixProductLayers(in, n, matrix, out, c);
    kernels_base::matrixProductLayers(in, n, matrix, out, c);
}

} // namespace vexa
