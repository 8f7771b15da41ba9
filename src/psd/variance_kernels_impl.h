// Body of the variance kernels, included once per instruction-set build with
// VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2).
#include "psd/variance_kernels.h"

namespace vexa {
namespace VEXA_KERNEL_NS {

namespace {

// `Width` consecutive coefficients, `Count` weight vectors: the accumulators
// stay in registers and the table rows are read once for all vectors.
template <int Width, int Count>
inline void chunk(const float* table, const float* weights, std::size_t n, std::size_t layers,
                  float* out) {
    float acc[Count][Width] = {};
    for (std::size_t layer = 0; layer < layers; ++layer) {
        const float* row = table + n * layer;
        for (int w = 0; w < Count; ++w) {
            const float weight = weights[layer + layers * w];
            for (int k = 0; k < Width; ++k) acc[w][k] += row[k] * weight;
        }
    }
    for (int w = 0; w < Count; ++w)
        for (int k = 0; k < Width; ++k) out[n * w + k] = acc[w][k];
}

template <int Width>
inline void plainChunk(const float* table, std::size_t n, std::size_t layers, float* out) {
    float acc[Width] = {};
    for (std::size_t layer = 0; layer < layers; ++layer) {
        const float* row = table + n * layer;
        for (int k = 0; k < Width; ++k) acc[k] += row[k];
    }
    for (int k = 0; k < Width; ++k) out[k] = acc[k];
}

template <int Count>
void weighted(const float* table, const float* weights, int n, std::size_t layers, float* out) {
    const std::size_t sn = static_cast<std::size_t>(n);
    int psi = 0;
    for (; psi + 16 <= n; psi += 16) chunk<16, Count>(table + psi, weights, sn, layers, out + psi);
    for (; psi + 8 <= n; psi += 8) chunk<8, Count>(table + psi, weights, sn, layers, out + psi);
    for (; psi < n; ++psi) chunk<1, Count>(table + psi, weights, sn, layers, out + psi);
}

} // namespace

void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out) {
    if (weights == nullptr) {
        const std::size_t sn = static_cast<std::size_t>(n);
        int psi = 0;
        for (; psi + 16 <= n; psi += 16) plainChunk<16>(table + psi, sn, layers, out + psi);
        for (; psi < n; ++psi) plainChunk<1>(table + psi, sn, layers, out + psi);
        return;
    }
    for (int w = 0; w < count; w += 4) {
        const float* wts = weights + layers * w;
        float* dst = out + static_cast<std::size_t>(n) * w;
        switch (count - w < 4 ? count - w : 4) {
        case 1:
            weighted<1>(table, wts, n, layers, dst);
            break;
        case 2:
            weighted<2>(table, wts, n, layers, dst);
            break;
        case 3:
            weighted<3>(table, wts, n, layers, dst);
            break;
        default:
            weighted<4>(table, wts, n, layers, dst);
        }
    }
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
