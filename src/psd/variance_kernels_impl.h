// Body of the variance kernels, included once per instruction-set build with
// VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2).
#include "psd/variance_kernels.h"

namespace vexa {
namespace VEXA_KERNEL_NS {

namespace {

// `Width` consecutive coefficients of one weight vector (or the plain sum):
// the accumulators stay in registers while the layers stream past.
template <int Width>
inline void chunk(const float* table, const float* weights, std::size_t n, std::size_t layers,
                  float* out) {
    float acc[Width] = {};
    if (weights == nullptr) {
        for (std::size_t layer = 0; layer < layers; ++layer) {
            const float* row = table + n * layer;
            for (int k = 0; k < Width; ++k) acc[k] += row[k];
        }
    } else {
        for (std::size_t layer = 0; layer < layers; ++layer) {
            const float* row = table + n * layer;
            const float weight = weights[layer];
            for (int k = 0; k < Width; ++k) acc[k] += row[k] * weight;
        }
    }
    for (int k = 0; k < Width; ++k) out[k] = acc[k];
}

} // namespace

void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out) {
    const std::size_t sn = static_cast<std::size_t>(n);
    const int vectors = weights == nullptr ? 1 : count;
    for (int w = 0; w < vectors; ++w) {
        const float* wts = weights == nullptr ? nullptr : weights + layers * w;
        float* dst = out + sn * w;
        int psi = 0;
        for (; psi + 32 <= n; psi += 32) chunk<32>(table + psi, wts, sn, layers, dst + psi);
        for (; psi + 8 <= n; psi += 8) chunk<8>(table + psi, wts, sn, layers, dst + psi);
        for (; psi < n; ++psi) chunk<1>(table + psi, wts, sn, layers, dst + psi);
    }
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
