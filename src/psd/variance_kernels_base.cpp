// Baseline x86-64 build of the variance kernels, and the run-time dispatch.
#define VEXA_KERNEL_NS kernels_base
#include "psd/variance_kernels_impl.h"

#include "core/cpu_dispatch.h"

namespace vexa {

void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::layerSums(table, weights, count, n, layers, out);
    kernels_base::layerSums(table, weights, count, n, layers, out);
}

} // namespace vexa
