// Fourier networks run on L independent lines at once (lanes), included once
// per instruction-set build with VEXA_KERNEL_NS naming the namespace. The
// lines are held structure-of-arrays, re[point][lane] and im[point][lane], and
// every lane goes through exactly the butterflies and rotations of the
// one-line routine (psd/fft.cpp): the rotation products in double, rounded to
// float once, nothing fused. Each lane is therefore bitwise the one-line result.
#include <cstddef>
#include <utility>

#include "core/complex.h"
#include "psd/fft64.h"
#include "psd/fft_tables.h"

#if defined(_MSC_VER)
#define VEXA_LANES_INLINE __forceinline
#else
#define VEXA_LANES_INLINE inline __attribute__((always_inline))
#endif

namespace vexa {
namespace VEXA_KERNEL_NS {
namespace {

template <int n, int L>
struct LaneLines {
    alignas(32) float re[n][L];
    alignas(32) float im[n][L];
};

template <int L>
VEXA_LANES_INLINE void butterflyLanes(float* ar, float* ai, float* br, float* bi) {
    for (int l = 0; l < L; ++l) {
        const float tr = br[l];
        const float ti = bi[l];
        br[l] = ar[l] - tr;
        bi[l] = ai[l] - ti;
        ar[l] = ar[l] + tr;
        ai[l] = ai[l] + ti;
    }
}

// b *= c + j*s, the products and the sum in double, rounded to float.
template <int L>
VEXA_LANES_INLINE void rotateLanes(float* br, float* bi, double c, double s) {
    for (int l = 0; l < L; ++l) {
        const double r = static_cast<double>(br[l]);
        const double i = static_cast<double>(bi[l]);
        br[l] = static_cast<float>(r * c - i * s);
        bi[l] = static_cast<float>(r * s + i * c);
    }
}

// b *= -j, exact.
template <int L>
VEXA_LANES_INLINE void rotateMinusJLanes(float* br, float* bi) {
    for (int l = 0; l < L; ++l) {
        const float t = br[l];
        br[l] = bi[l];
        bi[l] = -t;
    }
}

template <int n, int L, int span, int k, int a>
VEXA_LANES_INLINE void butterflyLanesAt(LaneLines<n, L>& v) {
    constexpr int b = a + span / 2;
    if constexpr (4 * k == span)
        rotateMinusJLanes<L>(v.re[b], v.im[b]);
    else if constexpr (k != 0)
        rotateLanes<L>(v.re[b], v.im[b], COS_32[k * (32 / span)], MINUS_SIN_32[k * (32 / span)]);
    butterflyLanes<L>(v.re[a], v.im[a], v.re[b], v.im[b]);
}

template <int n, int L, int span, int k, int... group>
VEXA_LANES_INLINE void butterfliesLanesOf(LaneLines<n, L>& v,
                                          std::integer_sequence<int, group...>) {
    (butterflyLanesAt<n, L, span, k, group * span + k>(v), ...);
}

template <int n, int L, int span, int... k>
VEXA_LANES_INLINE void runSpanLanes(LaneLines<n, L>& v, std::integer_sequence<int, k...>) {
    (butterfliesLanesOf<n, L, span, k>(v, std::make_integer_sequence<int, n / span>{}), ...);
}

template <int n, int L, int span = 2>
VEXA_LANES_INLINE void runNetworkLanes(LaneLines<n, L>& v) {
    runSpanLanes<n, L, span>(v, std::make_integer_sequence<int, span / 2>{});
    if constexpr (span < n) runNetworkLanes<n, L, 2 * span>(v);
}

// Slot k of the lines holds input point lanePoint<n>(k): bit-reversed for the
// fixed networks, natural for 64 (which runs the table-driven routine per lane).
template <int n>
constexpr int lanePoint(int k) {
    if constexpr (n == 4)
        return BIT_REVERSED_4[k];
    else if constexpr (n == 8)
        return BIT_REVERSED_8[k];
    else if constexpr (n == 16)
        return BIT_REVERSED_16[k];
    else if constexpr (n == 32)
        return BIT_REVERSED_32[k];
    else
        return k;
}

// Forward DFT of every lane: input in the slot order of lanePoint<n>, output
// in natural order.
template <int n, int L>
inline void transformLanes(LaneLines<n, L>& v) {
    if constexpr (n <= 32) {
        runNetworkLanes<n, L>(v);
    } else {
        static_assert(n == 64, "lengths 4, 8, 16, 32 and 64");
        for (int l = 0; l < L; ++l) {
            Complex in[64], out[64];
            for (int k = 0; k < 64; ++k) in[k] = {v.re[k][l], v.im[k][l]};
            FFTComplex64(in, out);
            for (int k = 0; k < 64; ++k) {
                v.re[k][l] = out[k].re;
                v.im[k][l] = out[k].im;
            }
        }
    }
}

// In-place DFT of L lines whose point k, lane l lies at re[k*stride + l].
template <int n, int L>
inline void fftLanesInPlace(float* re, float* im, std::size_t stride) {
    LaneLines<n, L> v;
    for (int k = 0; k < n; ++k) {
        const std::size_t at = static_cast<std::size_t>(lanePoint<n>(k)) * stride;
        for (int l = 0; l < L; ++l) {
            v.re[k][l] = re[at + l];
            v.im[k][l] = im[at + l];
        }
    }
    transformLanes<n, L>(v);
    for (int k = 0; k < n; ++k) {
        const std::size_t at = static_cast<std::size_t>(k) * stride;
        for (int l = 0; l < L; ++l) {
            re[at + l] = v.re[k][l];
            im[at + l] = v.im[k][l];
        }
    }
}

} // namespace
} // namespace VEXA_KERNEL_NS
} // namespace vexa

#undef VEXA_LANES_INLINE
