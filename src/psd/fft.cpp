#include "psd/fft.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "psd/fft64.h"
#include "psd/fft_tables.h"

// The networks below are written as small templates; forcing them inline
// keeps every point of a network in registers, as hand-unrolled code would.
#if defined(_MSC_VER)
#define VEXA_NETWORK_INLINE __forceinline
#else
#define VEXA_NETWORK_INLINE inline __attribute__((always_inline))
#endif

namespace vexa {

namespace {

VEXA_NETWORK_INLINE void butterfly(Complex& a, Complex& b) {
    const Complex t = b;
    b = {a.re - t.re, a.im - t.im};
    a = {a.re + t.re, a.im + t.im};
}

// b *= c + j*s; the product is formed in double so the constant keeps its precision.
VEXA_NETWORK_INLINE void rotate(Complex& b, double c, double s) {
    const double re = static_cast<double>(b.re) * c - static_cast<double>(b.im) * s;
    const double im = static_cast<double>(b.re) * s + static_cast<double>(b.im) * c;
    b = {static_cast<float>(re), static_cast<float>(im)};
}

// b *= -j, exact.
VEXA_NETWORK_INLINE void rotateMinusJ(Complex& b) {
    b = {b.im, -b.re};
}

// Radix-2 decimation-in-time network for n = 4, 8, 16 or 32 points, unrolled
// at compile time: runNetwork<n> runs the butterflies of span 2, 4, ... n on
// v, which holds the input in bit-reversed order and receives the spectrum in
// natural order. Butterfly k of a span rotates its lower input by
// -2 pi k / span first: not at all for k = 0, exactly for -pi/2.
template <int span, int k>
VEXA_NETWORK_INLINE void butterflyAt(Complex& a, Complex& b) {
    if constexpr (4 * k == span)
        rotateMinusJ(b);
    else if constexpr (k != 0)
        rotate(b, COS_32[k * (32 / span)], MINUS_SIN_32[k * (32 / span)]);
    butterfly(a, b);
}

template <int span, int k, int... group>
VEXA_NETWORK_INLINE void butterfliesOf(Complex* v, std::integer_sequence<int, group...>) {
    (butterflyAt<span, k>(v[group * span + k], v[group * span + k + span / 2]), ...);
}

template <int n, int span, int... k>
VEXA_NETWORK_INLINE void runSpan(Complex* v, std::integer_sequence<int, k...>) {
    (butterfliesOf<span, k>(v, std::make_integer_sequence<int, n / span>{}), ...);
}

template <int n, int span = 2>
VEXA_NETWORK_INLINE void runNetwork(Complex* v) {
    runSpan<n, span>(v, std::make_integer_sequence<int, span / 2>{});
    if constexpr (span < n) runNetwork<n, 2 * span>(v);
}

// The imaginary parts of the input are read only when !realInput (taken as
// zero otherwise).
template <int n, bool realInput>
void fftFixed(const int (&order)[n], const Complex* in, Complex* out) {
    Complex v[n];
    for (int k = 0; k < n; ++k) v[k] = realInput ? Complex{in[order[k]].re, 0.0f} : in[order[k]];
    runNetwork<n>(v);
    for (int k = 0; k < n; ++k) out[k] = v[k];
}

[[noreturn]] void unsupportedLength(int n) {
    throw std::invalid_argument("fft length " + std::to_string(n) +
                                " is not supported; n must be one of 4, 8, 16, 32, 64");
}

template <bool realInput>
void fftOfLength(int n, const Complex* in, Complex* out) {
    switch (n) {
    case 4:
        return fftFixed<4, realInput>(BIT_REVERSED_4, in, out);
    case 8:
        return fftFixed<8, realInput>(BIT_REVERSED_8, in, out);
    case 16:
        return fftFixed<16, realInput>(BIT_REVERSED_16, in, out);
    case 32:
        return fftFixed<32, realInput>(BIT_REVERSED_32, in, out);
    case 64:
        if constexpr (realInput) {
            Complex real[64];
            for (int i = 0; i < 64; ++i) real[i] = {in[i].re, 0.0f};
            return FFTComplex64(real, out);
        } else {
            return FFTComplex64(in, out);
        }
    default:
        unsupportedLength(n);
    }
}

} // namespace

void fftReal(int n, const Complex* in, Complex* out) {
    fftOfLength<true>(n, in, out);
}

void fftComplex(int n, const Complex* in, Complex* out) {
    fftOfLength<false>(n, in, out);
}

} // namespace vexa

#undef VEXA_NETWORK_INLINE
