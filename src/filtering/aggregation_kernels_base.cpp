// Baseline x86-64 build of the aggregation kernels, and the run-time dispatch.
#define VEXA_KERNEL_NS kernels_base
#include "filtering/aggregation_kernels_impl.h"

#include "core/cpu_dispatch.h"

namespace vexa {

void weighBlock(const float* estimate, const float* window, float numeratorDivisor,
                float weightDivisor, float* numerator, float* weight, int count) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::weighBlock(estimate, window, numeratorDivisor, weightDivisor,
                                        numerator, weight, count);
    kernels_base::weighBlock(estimate, window, numeratorDivisor, weightDivisor, numerator, weight,
                             count);
}

} // namespace vexa
