#pragma once

namespace vexa {

// One aggregated block, weighed: numerator[i] = (estimate[i] * window[i]) /
// numeratorDivisor and weight[i] = window[i] / weightDivisor for i < count,
// each a product then a quotient, as the row loops of the aggregation do.
void weighBlock(const float* estimate, const float* window, float numeratorDivisor,
                float weightDivisor, float* numerator, float* weight, int count);

// The two builds behind the dispatch above (aggregation_kernels_impl.h).
namespace kernels_base {
void weighBlock(const float* estimate, const float* window, float numeratorDivisor,
                float weightDivisor, float* numerator, float* weight, int count);
} // namespace kernels_base
namespace kernels_avx2 {
void weighBlock(const float* estimate, const float* window, float numeratorDivisor,
                float weightDivisor, float* numerator, float* weight, int count);
} // namespace kernels_avx2

} // namespace vexa
