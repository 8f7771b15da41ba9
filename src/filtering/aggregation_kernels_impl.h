// Body of the aggregation kernels, included once per instruction-set build
// with VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2).
#include "filtering/aggregation_kernels.h"

namespace vexa {
namespace VEXA_KERNEL_NS {

void weighBlock(const float* estimate, const float* window, float numeratorDivisor,
                float weightDivisor, float* numerator, float* weight, int count) {
    for (int i = 0; i < count; ++i) numerator[i] = (estimate[i] * window[i]) / numeratorDivisor;
    for (int i = 0; i < count; ++i) weight[i] = window[i] / weightDivisor;
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
