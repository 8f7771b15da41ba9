// Baseline build of the candidate distances, and the run-time dispatch.
#include "core/cpu_dispatch.h"
#include "matching/distance_kernels.h"

namespace vexa {

namespace kernels_base {

void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d) {
    float acc[8];
    for (int k = 0; k < 8; ++k) acc[k] = d[k];
    for (int i = from; i < to; ++i) {
        const float r = ref[i];
        for (int k = 0; k < 8; ++k) {
            const float diff = blocks[k][i] - r;
            acc[k] += diff * diff;
        }
    }
    for (int k = 0; k < 8; ++k) d[k] = acc[k];
}

void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d) {
    candidateSums8(blocks, ref, from, to, d);
    candidateSums8(blocks + 8, ref, from, to, d + 8);
}

} // namespace kernels_base

void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::candidateSums16(blocks, ref, from, to, d);
    kernels_base::candidateSums16(blocks, ref, from, to, d);
}

void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::candidateSums8(blocks, ref, from, to, d);
    kernels_base::candidateSums8(blocks, ref, from, to, d);
}

} // namespace vexa
