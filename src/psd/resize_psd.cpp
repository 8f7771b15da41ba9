#include "psd/resize_psd.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/allocator.h"

namespace vexa {

namespace {

// Source indices and weights of one target coordinate along one axis.
struct AxisSample {
    int lower;
    int upper;
    float lowerWeight;
    float upperWeight;
};

AxisSample sampleAxis(int t, int sourceLength, int targetLength) {
    const float g = static_cast<float>(sourceLength) *
                    (static_cast<float>(t) / static_cast<float>(targetLength));
    const int u = std::max(1, static_cast<int>(std::ceil(g)));
    const int l = u - 1;
    AxisSample a;
    a.upperWeight = g - static_cast<float>(l);
    a.lowerWeight = static_cast<float>(u) - g;
    a.upper = std::min(u, sourceLength - 1);
    a.lower = std::min(l, sourceLength - 1);
    return a;
}

} // namespace

void resizePSD(const float* psd, const Vec3<int>& sourceSize, const Vec3<int>& targetSize,
               const Vec3<int>& loopSize, float*& out) {
    const std::size_t tx = static_cast<std::size_t>(targetSize.x);
    const std::size_t ty = static_cast<std::size_t>(targetSize.y);
    const std::size_t tz = static_cast<std::size_t>(targetSize.z);
    out = static_cast<float*>(cMalloc(tx * ty * tz * sizeof(float)));
    if (out == nullptr) return;

    const long long targetVolume =
        static_cast<long long>(targetSize.x) * targetSize.y * targetSize.z;
    const long long sourceVolume =
        static_cast<long long>(sourceSize.x) * sourceSize.y * sourceSize.z;
    const float scale = static_cast<float>(targetVolume) / static_cast<float>(sourceVolume);
    const std::size_t sx = static_cast<std::size_t>(sourceSize.x);
    const std::size_t sxy = sx * static_cast<std::size_t>(sourceSize.y);

    for (int z = 0; z < loopSize.z; ++z) {
        const AxisSample az = sampleAxis(z, sourceSize.z, targetSize.z);
        for (int y = 0; y < loopSize.y; ++y) {
            const AxisSample ay = sampleAxis(y, sourceSize.y, targetSize.y);
            const int ys[2] = {ay.lower, ay.upper};
            const int zs[2] = {az.lower, az.upper};
            const float wy[2] = {ay.lowerWeight, ay.upperWeight};
            const float wz[2] = {az.lowerWeight, az.upperWeight};
            float* row =
                out + tx * (static_cast<std::size_t>(y) + ty * static_cast<std::size_t>(z));
            for (int x = 0; x < targetSize.x; ++x) {
                const AxisSample ax = sampleAxis(x, sourceSize.x, targetSize.x);
                const int xs[2] = {ax.lower, ax.upper};
                const float wx[2] = {ax.lowerWeight, ax.upperWeight};
                float sum = 0.0f;
                for (int cz = 0; cz < 2; ++cz) {
                    for (int cy = 0; cy < 2; ++cy) {
                        for (int cx = 0; cx < 2; ++cx) {
                            const std::size_t at = static_cast<std::size_t>(xs[cx]) +
                                                   sx * static_cast<std::size_t>(ys[cy]) +
                                                   sxy * static_cast<std::size_t>(zs[cz]);
                            sum += wx[cx] * wy[cy] * wz[cz] * psd[at];
                        }
                    }
                }
                row[x] = scale * sum;
            }
        }
    }
}

template <class T>
void transformToFourier(int n, int N, const T* matrix, T*& out) {
    out = static_cast<T*>(
        cMalloc(static_cast<std::size_t>(n) * static_cast<std::size_t>(N) * sizeof(T)));
    if (out == nullptr) return;
    const int terms = std::min(n, N);
    for (int i = 0; i < n; ++i) {
        const T* row = matrix + static_cast<std::size_t>(i) * n;
        T* power = out + static_cast<std::size_t>(i) * N;
        for (int j = 0; j < N; ++j) {
            T re = 0;
            T im = 0;
            for (int k = 0; k < terms; ++k) {
                const float theta = (static_cast<float>(k) * (static_cast<float>(j) * 6.2831855f)) /
                                    static_cast<float>(N);
                re += row[k] * std::cos(theta);
                im += row[k] * std::sin(theta);
            }
            power[j] = re * re + im * im;
        }
    }
}

template void transformToFourier<float>(int, int, const float*, float*&);

} // namespace vexa
