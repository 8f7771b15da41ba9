// Body of the group kernels, included once per instruction-set build with
// VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2). The
// arithmetic is written element by element in the order of the one-position
// routines; only the loop over W neighbouring positions is added, which the
// compiler turns into vector lanes.
#include "blocks/group_kernels.h"
#include "core/check.h"

namespace vexa {
namespace VEXA_KERNEL_NS {

namespace {

constexpr int kLanes = 8;

constexpr float haarScale(int length) {
    return length == 2    ? 0.70710677f
           : length == 4  ? 0.5f
           : length == 8  ? 0.35355338f
           : length == 16 ? 0.25f
                          : 0.17677669f;
}

template <int N, int Segments, int W>
inline void forwardLevel(float (*s)[W], float (*coeff)[W]) {
    float next[Segments][W];
    for (int j = 0; j < Segments; ++j)
        for (int w = 0; w < W; ++w) {
            next[j][w] = s[2 * j][w] + s[2 * j + 1][w];
            coeff[Segments + j][w] = (s[2 * j][w] - s[2 * j + 1][w]) * haarScale(N / Segments);
        }
    if constexpr (Segments > 1) {
        forwardLevel<N, Segments / 2, W>(next, coeff);
    } else {
        for (int w = 0; w < W; ++w) coeff[0][w] = next[0][w] * haarScale(N);
    }
}

template <int N, int W>
inline void forwardChunk(const float* const* in, int i0, float* out, long c) {
    float s[N][W], coeff[N][W];
    for (int k = 0; k < N; ++k)
        for (int w = 0; w < W; ++w) s[k][w] = in[k][i0 + w];
    forwardLevel<N, N / 2, W>(s, coeff);
    for (int k = 0; k < N; ++k)
        for (int w = 0; w < W; ++w) out[c * k + i0 + w] = coeff[k][w];
}

template <int N>
void forward(const float* const* in, float* out, int c) {
    int i = 0;
    for (; i + kLanes <= c; i += kLanes) forwardChunk<N, kLanes>(in, i, out, c);
    for (; i < c; ++i) forwardChunk<N, 1>(in, i, out, c);
}

template <int N, int Running, int W>
inline void inverseLevel(float (*v)[W]) {
    float next[2 * Running][W];
    for (int j = 0; j < Running; ++j)
        for (int w = 0; w < W; ++w) {
            next[2 * j][w] = v[j][w] + v[Running + j][w];
            next[2 * j + 1][w] = v[j][w] - v[Running + j][w];
        }
    for (int i = 0; i < 2 * Running; ++i)
        for (int w = 0; w < W; ++w) v[i][w] = next[i][w];
    if constexpr (2 * Running < N) inverseLevel<N, 2 * Running, W>(v);
}

template <int N, int W>
inline void inverseChunk(const float* const* in, int i0, float* out, long c) {
    float v[N][W];
    for (int w = 0; w < W; ++w) v[0][w] = in[0][i0 + w] * haarScale(N);
    for (int first = 1; first < N; first *= 2) {
        const float scale = haarScale(N / first);
        for (int i = first; i < 2 * first; ++i)
            for (int w = 0; w < W; ++w) v[i][w] = in[i][i0 + w] * scale;
    }
    inverseLevel<N, 1, W>(v);
    for (int k = 0; k < N; ++k)
        for (int w = 0; w < W; ++w) out[c * k + i0 + w] = v[k][w];
}

template <int N>
void inverse(const float* const* in, float* out, int c) {
    int i = 0;
    for (; i + kLanes <= c; i += kLanes) inverseChunk<N, kLanes>(in, i, out, c);
    for (; i < c; ++i) inverseChunk<N, 1>(in, i, out, c);
}

} // namespace

void haarForwardLayers(const float* const* in, int n, float* out, int c) {
    switch (n) {
    case 4:
        return forward<4>(in, out, c);
    case 8:
        return forward<8>(in, out, c);
    case 16:
        return forward<16>(in, out, c);
    case 32:
        return forward<32>(in, out, c);
    default:
        checkFailed("n == 4 || n == 8 || n == 16 || n == 32");
    }
}

void haarInverseLayers(const float* const* in, int n, float* out, int c) {
    switch (n) {
    case 4:
        return inverse<4>(in, out, c);
    case 8:
        return inverse<8>(in, out, c);
    case 16:
        return inverse<16>(in, out, c);
    case 32:
        return inverse<32>(in, out, c);
    default:
        checkFailed("n == 4 || n == 8 || n == 16 || n == 32");
    }
}

void matrixProductLayers(const float* const* in, int n, const float* matrix, float* out, int c) {
    for (int j = 0; j < n; ++j) {
        float* o = out + static_cast<long>(c) * j;
        const float* row = matrix + static_cast<long>(j) * n;
        const float* in0 = in[0];
        const float m0 = row[0];
        for (int i = 0; i < c; ++i) o[i] = m0 * in0[i];
        for (int k = 1; k < n; ++k) {
            const float mk = row[k];
            // A zero weight adds a zero product (finite input), which leaves
            // every sum as it is; the Haar tables are mostly zeros.
            if (mk == 0.0f) continue;
            const float* ink = in[k];
            for (int i = 0; i < c; ++i) o[i] += mk * ink[i];
        }
    }
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
