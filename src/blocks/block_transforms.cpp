#include "blocks/block_transforms.h"

#include "blocks/block_kernels.h"

#include "core/check.h"

#if defined(_MSC_VER)
#define VEXA_RESTRICT __restrict
#else
#define VEXA_RESTRICT __restrict__
#endif

namespace vexa {
namespace {

using TransformsMetas::StandardTransform;

constexpr float C1 = 0.98078525f;
constexpr float C2 = 0.9238795f;
constexpr float C3 = 0.8314696f;
constexpr float C4 = 0.70710677f;
constexpr float C5 = 0.55557024f;
constexpr float C6 = 0.38268343f;
constexpr float C7 = 0.19509032f;
constexpr float ALPHA = 0.48585334f;
constexpr float BETA = 0.08350605f;
constexpr float GAMMA = 0.7276957f;
constexpr float EPSILON = 0.121533975f;

bool hasFastPath(StandardTransform t, int n) {
    return n == 8 && (t == TransformsMetas::DCT8 || t == TransformsMetas::BIOR8 ||
                      t == TransformsMetas::DCT8_INV || t == TransformsMetas::BIOR8_INV);
}

// The four 8-point butterflies, u -> U.
inline void dct8(const float* u, float* U) {
    const float s07 = u[0] + u[7], s16 = u[1] + u[6], s25 = u[2] + u[5], s34 = u[3] + u[4];
    const float d07 = u[0] - u[7], d16 = u[1] - u[6], d25 = u[2] - u[5], d34 = u[3] - u[4];
    const float g = (d16 + d25) * C4, h = (d16 - d25) * C4;
    const float w = s07 - s34, q = s16 - s25;
    U[0] = ((s16 + s25) + (s07 + s34)) * C4 * 0.5f;
    U[4] = ((s07 + s34) - (s16 + s25)) * C4 * 0.5f;
    U[2] = (w * C2 + q * C6) * 0.5f;
    U[6] = (w * C6 - q * C2) * 0.5f;
    U[1] = ((d07 + g) * C1 + (d34 + h) * C7) * 0.5f;
    U[7] = ((d07 + g) * C7 - (d34 + h) * C1) * 0.5f;
    U[3] = ((d07 - g) * C3 - (d34 - h) * C5) * 0.5f;
    U[5] = ((d07 - g) * C5 + (d34 - h) * C3) * 0.5f;
}

inline void dct8Inv(const float* u, float* U) {
    const float a = (u[0] + u[4]) * C4, b = u[2] * C2 + u[6] * C6;
    const float c = u[1] * C1 + u[7] * C7, d = u[3] * C3 + u[5] * C5;
    const float e = u[1] * C7 - u[7] * C1, f = u[5] * C3 - u[3] * C5;
    const float p = (u[0] - u[4]) * C4, r = u[2] * C6 - u[6] * C2;
    const float A = ((c - d) - (e - f)) * C4, B = ((c - d) + (e - f)) * C4;
    U[0] = ((a + b) + (c + d)) * 0.5f;
    U[7] = ((a + b) - (c + d)) * 0.5f;
    U[1] = (B + (p + r)) * 0.5f;
    U[6] = ((p + r) - B) * 0.5f;
    U[2] = (A + (p - r)) * 0.5f;
    U[5] = ((p - r) - A) * 0.5f;
    U[3] = ((a - b) + (e + f)) * 0.5f;
    U[4] = ((a - b) - (e + f)) * 0.5f;
}

inline void bior8(const float* u, float* U) {
    const float s0 = u[0] + u[1], s1 = u[2] + u[3], s2 = u[4] + u[5], s3 = u[6] + u[7];
    const float d0 = u[0] - u[1], d1 = u[2] - u[3], d2 = u[4] - u[5], d3 = u[6] - u[7];
    U[4] = d0 * C4;
    U[5] = d1 * C4;
    U[6] = d2 * C4;
    U[7] = d3 * C4;
    const float p0 = ALPHA * s0 + BETA * (d1 - d3);
    const float p1 = ALPHA * s1 + BETA * (d2 - d0);
    const float p2 = ALPHA * s2 + BETA * (d3 - d1);
    const float p3 = ALPHA * s3 + BETA * (d0 - d2);
    U[2] = p0 - p1;
    U[3] = p2 - p3;
    U[0] = (p2 + p3) * C4 + (p0 + p1) * C4;
    U[1] = (p2 + p3) * C4 - (p0 + p1) * C4;
}

inline void bior8Inv(const float* u, float* U) {
    const float e = (u[0] - u[1]) * C4, c = (u[0] + u[1]) * C4;
    const float t0 = (e + u[2]) * GAMMA, t1 = (e - u[2]) * GAMMA;
    const float t2 = (c + u[3]) * GAMMA, t3 = (c - u[3]) * GAMMA;
    const float f = (u[7] - u[5]) * EPSILON, g = (u[4] - u[6]) * EPSILON;
    U[0] = (t0 + u[4]) * C4 + f;
    U[1] = (t0 - u[4]) * C4 + f;
    U[2] = (t1 + u[5]) * C4 + g;
    U[3] = (t1 - u[5]) * C4 + g;
    U[4] = (t2 + u[6]) * C4 - f;
    U[5] = (t2 - u[6]) * C4 - f;
    U[6] = (t3 + u[7]) * C4 - g;
    U[7] = (t3 - u[7]) * C4 - g;
}

// Applies one butterfly to `lanes` sequences; element k of lane l lies at
// l * laneStride + k * elemStride. The lane loop is the one that vectorises.
template <void (*Kernel)(const float*, float*)>
void butterflyLanes(const float* VEXA_RESTRICT in, float* VEXA_RESTRICT out, int lanes,
                    int laneStride, int elemStride) {
    for (int l = 0; l < lanes; ++l) {
        float u[8], U[8];
        const float* src = in + l * laneStride;
        for (int k = 0; k < 8; ++k) u[k] = src[k * elemStride];
        Kernel(u, U);
        float* dst = out + l * laneStride;
        for (int k = 0; k < 8; ++k) dst[k * elemStride] = U[k];
    }
}

// The same with strides known at compile time, so the lane loop vectorises.
template <void (*Kernel)(const float*, float*), int LaneStride, int ElemStride>
void butterflyLanesFixed(const float* VEXA_RESTRICT in, float* VEXA_RESTRICT out, int lanes) {
    for (int l = 0; l < lanes; ++l) {
        float u[8], U[8];
        const float* src = in + l * LaneStride;
        for (int k = 0; k < 8; ++k) u[k] = src[k * ElemStride];
        Kernel(u, U);
        float* dst = out + l * LaneStride;
        for (int k = 0; k < 8; ++k) dst[k * ElemStride] = U[k];
    }
}

template <void (*Kernel)(const float*, float*)>
void butterflyKernel(const float* in, float* out, int lanes, int laneStride, int elemStride) {
    if (laneStride == 8 && elemStride == 1)
        butterflyLanesFixed<Kernel, 8, 1>(in, out, lanes);
    else if (laneStride == 1 && elemStride == 8)
        butterflyLanesFixed<Kernel, 1, 8>(in, out, lanes);
    else
        butterflyLanes<Kernel>(in, out, lanes, laneStride, elemStride);
}

void butterfly(StandardTransform t, const float* in, float* out, int lanes, int laneStride,
               int elemStride) {
    switch (t) {
    case TransformsMetas::DCT8:
        butterflyKernel<dct8>(in, out, lanes, laneStride, elemStride);
        break;
    case TransformsMetas::DCT8_INV:
        butterflyKernel<dct8Inv>(in, out, lanes, laneStride, elemStride);
        break;
    case TransformsMetas::BIOR8:
        butterflyKernel<bior8>(in, out, lanes, laneStride, elemStride);
        break;
    default:
        butterflyKernel<bior8Inv>(in, out, lanes, laneStride, elemStride);
        break;
    }
}

// Matrix product on contiguous rows of n samples. N > 0 fixes n = N at
// compile time, so that those rows are unrolled; N = 0 reads n. Each output
// accumulates in increasing k from the k = 0 product.
template <class T, int N>
void matrixRowsOf(const T* VEXA_RESTRICT m, int n, const T* VEXA_RESTRICT in, T* VEXA_RESTRICT out,
                  int rows) {
    const int len = N > 0 ? N : n;
    for (int r = 0; r < rows; ++r) {
        const T* u = in + r * len;
        T* U = out + r * len;
        for (int j = 0; j < len; ++j) {
            T acc = m[j * len] * u[0];
            for (int k = 1; k < len; ++k) acc += m[j * len + k] * u[k];
            U[j] = acc;
        }
    }
}

template <class T>
void matrixRows(const T* VEXA_RESTRICT m, int n, const T* VEXA_RESTRICT in, T* VEXA_RESTRICT out,
                int rows) {
    switch (n) {
    case 4:
        return matrixRowsOf<T, 4>(m, n, in, out, rows);
    case 8:
        return matrixRowsOf<T, 8>(m, n, in, out, rows);
    default:
        return matrixRowsOf<T, 0>(m, n, in, out, rows);
    }
}

// Matrix product along a strided axis: `lanes` contiguous sequences, element
// k of lane l at l + k * stride. The lane loop is innermost so it vectorises;
// each output still accumulates in increasing k from the k = 0 product.
template <class T>
void matrixColumns(const T* VEXA_RESTRICT m, int n, const T* VEXA_RESTRICT in, T* VEXA_RESTRICT out,
                   int lanes, int stride) {
    for (int j = 0; j < n; ++j) {
        T* U = out + j * stride;
        const T m0 = m[j * n];
        for (int l = 0; l < lanes; ++l) U[l] = m0 * in[l];
        for (int k = 1; k < n; ++k) {
            const T mk = m[j * n + k];
            const T* u = in + k * stride;
            for (int l = 0; l < lanes; ++l) U[l] += mk * u[l];
        }
    }
}

// Segment-length constants of the fast Haar routines.
constexpr float haarScale(int length) {
    return length == 2    ? 0.70710677f
           : length == 4  ? 0.5f
           : length == 8  ? 0.35355338f
           : length == 16 ? 0.25f
                          : 0.17677669f;
}

// One level of the forward Haar: `segments` pair sums and differences of the
// sums s of the finer level; recursion unrolls every level at compile time.
template <int N, int Segments>
inline void haarForwardLevel(const float* s, float* coeff) {
    float next[Segments];
    for (int j = 0; j < Segments; ++j) {
        next[j] = s[2 * j] + s[2 * j + 1];
        coeff[Segments + j] = (s[2 * j] - s[2 * j + 1]) * haarScale(N / Segments);
    }
    if constexpr (Segments > 1) {
        haarForwardLevel<N, Segments / 2>(next, coeff);
    } else {
        coeff[0] = next[0] * haarScale(N);
    }
}

template <int N, class In>
void haarForward(const In& in, IndexerBase<float*, true>& out) {
    float s[N], coeff[N];
    for (int i = 0; i < N; ++i) s[i] = in[i];
    haarForwardLevel<N, N / 2>(s, coeff);
    for (int i = 0; i < N; ++i) out[i] = coeff[i];
}

// Level with `Running` coarse values in v[0 .. Running) and their details in
// v[Running .. 2 Running): produces 2 Running finer values.
template <int N, int Running>
inline void haarInverseLevel(float* v) {
    float next[2 * Running];
    for (int j = 0; j < Running; ++j) {
        next[2 * j] = v[j] + v[Running + j];
        next[2 * j + 1] = v[j] - v[Running + j];
    }
    for (int i = 0; i < 2 * Running; ++i) v[i] = next[i];
    if constexpr (2 * Running < N) haarInverseLevel<N, 2 * Running>(v);
}

template <int N>
void haarInverse(const IndexerBase<const float*, true>& in, IndexerBase<float*, true>& out) {
    float v[N];
    v[0] = in[0] * haarScale(N);
    for (int first = 1; first < N; first *= 2) {
        const float scale = haarScale(N / first);
        for (int i = first; i < 2 * first; ++i) v[i] = in[i] * scale;
    }
    haarInverseLevel<N, 1>(v);
    for (int i = 0; i < N; ++i) out[i] = v[i];
}

template <class In>
void forwardHaarDispatch(const In& in, IndexerBase<float*, true>& out, int n) {
    switch (n) {
    case 4:
        return haarForward<4>(in, out);
    case 8:
        return haarForward<8>(in, out);
    case 16:
        return haarForward<16>(in, out);
    case 32:
        return haarForward<32>(in, out);
    default:
        checkFailed("n == 4 || n == 8 || n == 16 || n == 32");
    }
}

} // namespace

template <class T>
void transf3D(const T* input, const Vec3<const T*>& matrices,
              const Vec3<TransformsMetas::StandardTransform>& tags, T* scratchA, T* scratchB,
              T* output, const Vec3<int>& size) {
    const int nx = size.x, ny = size.y, nz = size.z;
    const int plane = nx * ny;
    const bool fastX = hasFastPath(tags.x, nx), fastY = hasFastPath(tags.y, ny);

    // The built-in 4x4x4 and 8x8x1 blocks, and the 6x6x6 ones of the
    // correlated-noise adaptation.
    if (!fastX && !fastY &&
        blockProductFixed(input, matrices.x, matrices.y, matrices.z, output, nx, ny, nz))
        return;

    // The x pass consumes the whole input before the output is written, so
    // input may equal output.
    if (fastX)
        butterfly(tags.x, input, scratchA, ny * nz, 8, 1);
    else
        matrixRows(matrices.x, nx, input, scratchA, ny * nz);

    T* yOut = nz == 1 ? output : scratchB;
    for (int z = 0; z < nz; ++z) {
        const T* src = scratchA + z * plane;
        T* dst = yOut + z * plane;
        if (fastY)
            butterfly(tags.y, src, dst, nx, 1, nx);
        else
            matrixColumns(matrices.y, ny, src, dst, nx, nx);
    }

    // No fast path on z, whatever its tag says.
    if (nz >= 2) matrixColumns(matrices.z, nz, scratchB, output, plane, plane);
}

bool transformRegion(const float* data, const Vec3<int>& volumeSize, const Vec3<int>& lo,
                     const Vec3<int>& count, const Vec3<const float*>& matrices,
                     const Vec3<TransformsMetas::StandardTransform>& tags, const Vec3<int>& size,
                     float* ring, long slotFloats, const Vec3<int>& ringRange) {
    if (hasFastPath(tags.x, size.x) || hasFastPath(tags.y, size.y)) return false;
    const RegionSource src{data, volumeSize.x,
                           static_cast<std::ptrdiff_t>(volumeSize.x) * volumeSize.y,
                           volumeSize.x - size.x + 1};
    return regionProductFixed(src, lo, count, matrices.x, matrices.y, matrices.z, size,
                              {ring, slotFloats, ringRange});
}

template <class T>
void transf3DReference(const T* input, const Vec3<const T*>& matrices, T* scratchA, T* scratchB,
                       T* output, const Vec3<int>& size) {
    const int nx = size.x, ny = size.y, nz = size.z;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int j = 0; j < nx; ++j) {
                const T* u = input + (z * ny + y) * nx;
                T acc = matrices.x[j * nx] * u[0];
                for (int k = 1; k < nx; ++k) acc += matrices.x[j * nx + k] * u[k];
                scratchA[(z * ny + y) * nx + j] = acc;
            }
    T* yOut = nz == 1 ? output : scratchB;
    for (int z = 0; z < nz; ++z)
        for (int j = 0; j < ny; ++j)
            for (int x = 0; x < nx; ++x) {
                T acc = matrices.y[j * ny] * scratchA[z * nx * ny + x];
                for (int k = 1; k < ny; ++k)
                    acc += matrices.y[j * ny + k] * scratchA[(z * ny + k) * nx + x];
                yOut[(z * ny + j) * nx + x] = acc;
            }
    if (nz < 2) return;
    for (int j = 0; j < nz; ++j)
        for (int p = 0; p < nx * ny; ++p) {
            T acc = matrices.z[j * nz] * scratchB[p];
            for (int k = 1; k < nz; ++k) acc += matrices.z[j * nz + k] * scratchB[k * nx * ny + p];
            output[j * nx * ny + p] = acc;
        }
}

void forwardHaar_32_16_8_4_2_1(const IndexerBase<BlockDistance<float>*, true>& in,
                               IndexerBase<float*, true>& out, int n) {
    forwardHaarDispatch(in, out, n);
}

void forwardHaar_32_16_8_4_2_1(const IndexerBase<const float*, true>& in,
                               IndexerBase<float*, true>& out, int n) {
    forwardHaarDispatch(in, out, n);
}

void invHaar_32_16_8_4_2_1(const IndexerBase<const float*, true>& in,
                           IndexerBase<float*, true>& out, int n) {
    switch (n) {
    case 4:
        return haarInverse<4>(in, out);
    case 8:
        return haarInverse<8>(in, out);
    case 16:
        return haarInverse<16>(in, out);
    case 32:
        return haarInverse<32>(in, out);
    default:
        checkFailed("n == 4 || n == 8 || n == 16 || n == 32");
    }
}

template void transf3D<float>(const float*, const Vec3<const float*>&,
                              const Vec3<TransformsMetas::StandardTransform>&, float*, float*,
                              float*, const Vec3<int>&);
template void transf3DReference<float>(const float*, const Vec3<const float*>&, float*, float*,
                                       float*, const Vec3<int>&);

} // namespace vexa
