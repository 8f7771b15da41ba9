#include "filtering/group_filters.h"

#include <cmath>

namespace vexa {

template <class T>
void hardThresholdGroup(T* coeffs, T* variances, int count, float threshold) {
    // Element 0 carries the group mean with the built-in transforms: never
    // removed. The quiet comparison keeps NaN and lets the loop vectorise.
    for (int k = 1; k < count; ++k) {
        const T c = coeffs[k];
        const T v = variances[k];
        const bool removed = std::isgreater(v * threshold, c * c);
        coeffs[k] = removed ? T(0) : c;
        variances[k] = removed ? T(0) : v;
    }
}

template <class T>
void sharpenGroup(T* coeffs, T* variances, int count, const Vec3<int>& blockSize, float alpha,
                  float alphaFirstSlice, bool rescaleVariances) {
    const T d = std::fabs(coeffs[0]);
    if (d == T(0)) return;
    const float a = alpha;
    const float b = alphaFirstSlice;
    const float pA = std::pow(d, -a), qA = std::pow(d, -2.0f * a),
                rA = std::pow(d, 2.0f - 2.0f * a);
    const float pB = std::pow(d, -b), qB = std::pow(d, -2.0f * b),
                rB = std::pow(d, 2.0f - 2.0f * b);
    const float lA = (1.0f - a) * (1.0f - a) * qA, mA = a * a * rA;
    const float lB = (1.0f - b) * (1.0f - b) * qB, mB = b * b * rB;
    const T variance0 = variances[0];
    const int plane = blockSize.x * blockSize.y;
    for (int k = 1; k < count; ++k) {
        const bool firstSlice = (k / plane) % blockSize.z == 0;
        const float e = firstSlice ? b : a;
        const float p = firstSlice ? pB : pA;
        const float l0 = firstSlice ? lB : lA;
        const float m0 = firstSlice ? mB : mA;
        const T c = coeffs[k];
        if (c == T(0) || std::isnan(c)) continue;
        const T l = std::pow(std::fabs(c), e);
        T m = (p * d) * l;
        if (c < T(0)) m = -m;
        coeffs[k] = m;
        if (rescaleVariances) variances[k] = l * l * (l0 * variance0 + m0 * variances[k] / (m * m));
    }
}

template <class T>
void wienerShrinkGroup(const T* pilot, T* noisy, T* variances, int count, float wienerFactor) {
    for (int k = 0; k < count; ++k) {
        const T p2 = pilot[k] * pilot[k];
        const T v = variances[k];
        const T floored = v > T(1e-8f) ? v : T(1e-8f);
        const T w = p2 / (floored * wienerFactor + p2);
        noisy[k] = noisy[k] * w;
        variances[k] = (w * w) * v;
    }
}

template <class T>
T computeBlockVariances(const T* variances, int n, int blockCoefficients, const T* inverseGroup,
                        T* layerSums, T* blockVariances) {
    // Four layers (then four blocks) at a time: each sum is still one chain
    // in index order, and the four chains hide each other's add latency.
    constexpr int kChains = 4;
    int k0 = 0;
    for (; k0 + kChains <= n; k0 += kChains) {
        const T* layer = variances + static_cast<long>(k0) * blockCoefficients;
        T s[kChains] = {};
        for (int i = 0; i < blockCoefficients; ++i)
            for (int c = 0; c < kChains; ++c)
                s[c] += layer[static_cast<long>(c) * blockCoefficients + i];
        for (int c = 0; c < kChains; ++c) layerSums[k0 + c] = s[c];
    }
    for (; k0 < n; ++k0) {
        const T* layer = variances + static_cast<long>(k0) * blockCoefficients;
        T s = T(0);
        for (int i = 0; i < blockCoefficients; ++i) s += layer[i];
        layerSums[k0] = s;
    }
    int j0 = 0;
    for (; j0 + kChains <= n; j0 += kChains) {
        T v[kChains] = {};
        for (int k = 0; k < n; ++k)
            for (int c = 0; c < kChains; ++c) {
                const T h = inverseGroup[(j0 + c) * n + k];
                v[c] += layerSums[k] * h * h;
            }
        for (int c = 0; c < kChains; ++c) blockVariances[j0 + c] = v[c];
    }
    for (; j0 < n; ++j0) {
        T v = T(0);
        for (int k = 0; k < n; ++k) {
            const T h = inverseGroup[j0 * n + k];
            v += layerSums[k] * h * h;
        }
        blockVariances[j0] = v;
    }
    T total = T(0);
    for (int j = 0; j < n; ++j) total += blockVariances[j];
    return total;
}

template void hardThresholdGroup<float>(float*, float*, int, float);
template void sharpenGroup<float>(float*, float*, int, const Vec3<int>&, float, float, bool);
template void wienerShrinkGroup<float>(const float*, float*, float*, int, float);
template float computeBlockVariances<float>(const float*, int, int, const float*, float*, float*);

} // namespace vexa
