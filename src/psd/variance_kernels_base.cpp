// Baseline x86-64 build of the variance kernels, and the run-time dispatch.
#define VEXA_KERNEL_NS kernels_base
#include "psd/factored_kernels_impl.h"
#include "psd/variance_kernels_impl.h"

#include "core/cpu_dispatch.h"

namespace vexa {

void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::layerSums(table, weights, count, n, layers, out);
    kernels_base::layerSums(table, weights, count, n, layers, out);
}

void stridedLayerSums(const float* table, int n, const LayerWeights& weights, float* out) {
    if (kernelPath() == KernelPath::Avx2)
        return kernels_avx2::stridedLayerSums(table, n, weights, out);
    kernels_base::stridedLayerSums(table, n, weights, out);
}

void transformMapBatch(const MapBatch& batch) {
    if (kernelPath() == KernelPath::Avx2) return kernels_avx2::transformMapBatch(batch);
    kernels_base::transformMapBatch(batch);
}

void fftLanes(int n, int lanes, float* re, float* im, std::size_t stride) {
    if (kernelPath() == KernelPath::Avx2) return kernels_avx2::fftLanes(n, lanes, re, im, stride);
    kernels_base::fftLanes(n, lanes, re, im, stride);
}

void factoredMapSums(const FactoredMap& m) {
    if (kernelPath() == KernelPath::Avx2) return kernels_avx2::factoredMapSums(m);
    kernels_base::factoredMapSums(m);
}

} // namespace vexa
