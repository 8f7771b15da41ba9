#include "psd/fft.h"

#include <stdexcept>
#include <string>

#include "psd/fft64.h"

namespace vexa {

namespace {

inline void butterfly(Complex& a, Complex& b) {
    const Complex t = b;
    b = {a.re - t.re, a.im - t.im};
    a = {a.re + t.re, a.im + t.im};
}

// b *= c + j*s; the product is formed in double so the constant keeps its precision.
inline void rotate(Complex& b, double c, double s) {
    const double re = static_cast<double>(b.re) * c - static_cast<double>(b.im) * s;
    const double im = static_cast<double>(b.re) * s + static_cast<double>(b.im) * c;
    b = {static_cast<float>(re), static_cast<float>(im)};
}

// b *= -j, exact.
inline void rotateMinusJ(Complex& b) {
    b = {b.im, -b.re};
}

// Twiddle factors cos(2 pi t / n) and -sin(2 pi t / n) of the unrolled networks.
constexpr double C8_1 = 0.7071067811865476;
constexpr double S8_1 = -0.7071067811865475;
constexpr double C8_3 = -0.7071067811865475;
constexpr double S8_3 = -0.7071067811865476;
constexpr double C16_1 = 0.9238795325112867;
constexpr double S16_1 = -0.3826834323650898;
constexpr double C16_2 = 0.7071067811865476;
constexpr double S16_2 = -0.7071067811865475;
constexpr double C16_3 = 0.38268343236508984;
constexpr double S16_3 = -0.9238795325112867;
constexpr double C16_5 = -0.3826834323650897;
constexpr double S16_5 = -0.9238795325112867;
constexpr double C16_6 = -0.7071067811865475;
constexpr double S16_6 = -0.7071067811865476;
constexpr double C16_7 = -0.9238795325112867;
constexpr double S16_7 = -0.3826834323650899;
constexpr double C32_1 = 0.9807852804032304;
constexpr double S32_1 = -0.19509032201612825;
constexpr double C32_2 = 0.9238795325112867;
constexpr double S32_2 = -0.3826834323650898;
constexpr double C32_3 = 0.8314696123025452;
constexpr double S32_3 = -0.5555702330196022;
constexpr double C32_4 = 0.7071067811865476;
constexpr double S32_4 = -0.7071067811865475;
constexpr double C32_5 = 0.5555702330196023;
constexpr double S32_5 = -0.8314696123025452;
constexpr double C32_6 = 0.38268343236508984;
constexpr double S32_6 = -0.9238795325112867;
constexpr double C32_7 = 0.19509032201612833;
constexpr double S32_7 = -0.9807852804032304;
constexpr double C32_9 = -0.1950903220161282;
constexpr double S32_9 = -0.9807852804032304;
constexpr double C32_10 = -0.3826834323650897;
constexpr double S32_10 = -0.9238795325112867;
constexpr double C32_11 = -0.555570233019602;
constexpr double S32_11 = -0.8314696123025455;
constexpr double C32_12 = -0.7071067811865475;
constexpr double S32_12 = -0.7071067811865476;
constexpr double C32_13 = -0.8314696123025453;
constexpr double S32_13 = -0.5555702330196022;
constexpr double C32_14 = -0.9238795325112867;
constexpr double S32_14 = -0.3826834323650899;
constexpr double C32_15 = -0.9807852804032304;
constexpr double S32_15 = -0.1950903220161286;

// Radix-2 decimation-in-time network for 4 points; v holds the input in
// bit-reversed order and receives the spectrum in natural order.
inline void network4(Complex* v) {
    // span 2
    butterfly(v[0], v[1]);
    butterfly(v[2], v[3]);
    // span 4
    butterfly(v[0], v[2]);
    rotateMinusJ(v[3]);
    butterfly(v[1], v[3]);
}
constexpr int BIT_REVERSED_4[4] = {0, 2, 1, 3};

// Radix-2 decimation-in-time network for 8 points; v holds the input in
// bit-reversed order and receives the spectrum in natural order.
inline void network8(Complex* v) {
    // span 2
    butterfly(v[0], v[1]);
    butterfly(v[2], v[3]);
    butterfly(v[4], v[5]);
    butterfly(v[6], v[7]);
    // span 4
    butterfly(v[0], v[2]);
    rotateMinusJ(v[3]);
    butterfly(v[1], v[3]);
    butterfly(v[4], v[6]);
    rotateMinusJ(v[7]);
    butterfly(v[5], v[7]);
    // span 8
    butterfly(v[0], v[4]);
    rotate(v[5], C8_1, S8_1);
    butterfly(v[1], v[5]);
    rotateMinusJ(v[6]);
    butterfly(v[2], v[6]);
    rotate(v[7], C8_3, S8_3);
    butterfly(v[3], v[7]);
}
constexpr int BIT_REVERSED_8[8] = {0, 4, 2, 6, 1, 5, 3, 7};

// Radix-2 decimation-in-time network for 16 points; v holds the input in
// bit-reversed order and receives the spectrum in natural order.
inline void network16(Complex* v) {
    // span 2
    butterfly(v[0], v[1]);
    butterfly(v[2], v[3]);
    butterfly(v[4], v[5]);
    butterfly(v[6], v[7]);
    butterfly(v[8], v[9]);
    butterfly(v[10], v[11]);
    butterfly(v[12], v[13]);
    butterfly(v[14], v[15]);
    // span 4
    butterfly(v[0], v[2]);
    rotateMinusJ(v[3]);
    butterfly(v[1], v[3]);
    butterfly(v[4], v[6]);
    rotateMinusJ(v[7]);
    butterfly(v[5], v[7]);
    butterfly(v[8], v[10]);
    rotateMinusJ(v[11]);
    butterfly(v[9], v[11]);
    butterfly(v[12], v[14]);
    rotateMinusJ(v[15]);
    butterfly(v[13], v[15]);
    // span 8
    butterfly(v[0], v[4]);
    rotate(v[5], C16_2, S16_2);
    butterfly(v[1], v[5]);
    rotateMinusJ(v[6]);
    butterfly(v[2], v[6]);
    rotate(v[7], C16_6, S16_6);
    butterfly(v[3], v[7]);
    butterfly(v[8], v[12]);
    rotate(v[13], C16_2, S16_2);
    butterfly(v[9], v[13]);
    rotateMinusJ(v[14]);
    butterfly(v[10], v[14]);
    rotate(v[15], C16_6, S16_6);
    butterfly(v[11], v[15]);
    // span 16
    butterfly(v[0], v[8]);
    rotate(v[9], C16_1, S16_1);
    butterfly(v[1], v[9]);
    rotate(v[10], C16_2, S16_2);
    butterfly(v[2], v[10]);
    rotate(v[11], C16_3, S16_3);
    butterfly(v[3], v[11]);
    rotateMinusJ(v[12]);
    butterfly(v[4], v[12]);
    rotate(v[13], C16_5, S16_5);
    butterfly(v[5], v[13]);
    rotate(v[14], C16_6, S16_6);
    butterfly(v[6], v[14]);
    rotate(v[15], C16_7, S16_7);
    butterfly(v[7], v[15]);
}
constexpr int BIT_REVERSED_16[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

// Radix-2 decimation-in-time network for 32 points; v holds the input in
// bit-reversed order and receives the spectrum in natural order.
inline void network32(Complex* v) {
    // span 2
    butterfly(v[0], v[1]);
    butterfly(v[2], v[3]);
    butterfly(v[4], v[5]);
    butterfly(v[6], v[7]);
    butterfly(v[8], v[9]);
    butterfly(v[10], v[11]);
    butterfly(v[12], v[13]);
    butterfly(v[14], v[15]);
    butterfly(v[16], v[17]);
    butterfly(v[18], v[19]);
    butterfly(v[20], v[21]);
    butterfly(v[22], v[23]);
    butterfly(v[24], v[25]);
    butterfly(v[26], v[27]);
    butterfly(v[28], v[29]);
    butterfly(v[30], v[31]);
    // span 4
    butterfly(v[0], v[2]);
    rotateMinusJ(v[3]);
    butterfly(v[1], v[3]);
    butterfly(v[4], v[6]);
    rotateMinusJ(v[7]);
    butterfly(v[5], v[7]);
    butterfly(v[8], v[10]);
    rotateMinusJ(v[11]);
    butterfly(v[9], v[11]);
    butterfly(v[12], v[14]);
    rotateMinusJ(v[15]);
    butterfly(v[13], v[15]);
    butterfly(v[16], v[18]);
    rotateMinusJ(v[19]);
    butterfly(v[17], v[19]);
    butterfly(v[20], v[22]);
    rotateMinusJ(v[23]);
    butterfly(v[21], v[23]);
    butterfly(v[24], v[26]);
    rotateMinusJ(v[27]);
    butterfly(v[25], v[27]);
    butterfly(v[28], v[30]);
    rotateMinusJ(v[31]);
    butterfly(v[29], v[31]);
    // span 8
    butterfly(v[0], v[4]);
    rotate(v[5], C32_4, S32_4);
    butterfly(v[1], v[5]);
    rotateMinusJ(v[6]);
    butterfly(v[2], v[6]);
    rotate(v[7], C32_12, S32_12);
    butterfly(v[3], v[7]);
    butterfly(v[8], v[12]);
    rotate(v[13], C32_4, S32_4);
    butterfly(v[9], v[13]);
    rotateMinusJ(v[14]);
    butterfly(v[10], v[14]);
    rotate(v[15], C32_12, S32_12);
    butterfly(v[11], v[15]);
    butterfly(v[16], v[20]);
    rotate(v[21], C32_4, S32_4);
    butterfly(v[17], v[21]);
    rotateMinusJ(v[22]);
    butterfly(v[18], v[22]);
    rotate(v[23], C32_12, S32_12);
    butterfly(v[19], v[23]);
    butterfly(v[24], v[28]);
    rotate(v[29], C32_4, S32_4);
    butterfly(v[25], v[29]);
    rotateMinusJ(v[30]);
    butterfly(v[26], v[30]);
    rotate(v[31], C32_12, S32_12);
    butterfly(v[27], v[31]);
    // span 16
    butterfly(v[0], v[8]);
    rotate(v[9], C32_2, S32_2);
    butterfly(v[1], v[9]);
    rotate(v[10], C32_4, S32_4);
    butterfly(v[2], v[10]);
    rotate(v[11], C32_6, S32_6);
    butterfly(v[3], v[11]);
    rotateMinusJ(v[12]);
    butterfly(v[4], v[12]);
    rotate(v[13], C32_10, S32_10);
    butterfly(v[5], v[13]);
    rotate(v[14], C32_12, S32_12);
    butterfly(v[6], v[14]);
    rotate(v[15], C32_14, S32_14);
    butterfly(v[7], v[15]);
    butterfly(v[16], v[24]);
    rotate(v[25], C32_2, S32_2);
    butterfly(v[17], v[25]);
    rotate(v[26], C32_4, S32_4);
    butterfly(v[18], v[26]);
    rotate(v[27], C32_6, S32_6);
    butterfly(v[19], v[27]);
    rotateMinusJ(v[28]);
    butterfly(v[20], v[28]);
    rotate(v[29], C32_10, S32_10);
    butterfly(v[21], v[29]);
    rotate(v[30], C32_12, S32_12);
    butterfly(v[22], v[30]);
    rotate(v[31], C32_14, S32_14);
    butterfly(v[23], v[31]);
    // span 32
    butterfly(v[0], v[16]);
    rotate(v[17], C32_1, S32_1);
    butterfly(v[1], v[17]);
    rotate(v[18], C32_2, S32_2);
    butterfly(v[2], v[18]);
    rotate(v[19], C32_3, S32_3);
    butterfly(v[3], v[19]);
    rotate(v[20], C32_4, S32_4);
    butterfly(v[4], v[20]);
    rotate(v[21], C32_5, S32_5);
    butterfly(v[5], v[21]);
    rotate(v[22], C32_6, S32_6);
    butterfly(v[6], v[22]);
    rotate(v[23], C32_7, S32_7);
    butterfly(v[7], v[23]);
    rotateMinusJ(v[24]);
    butterfly(v[8], v[24]);
    rotate(v[25], C32_9, S32_9);
    butterfly(v[9], v[25]);
    rotate(v[26], C32_10, S32_10);
    butterfly(v[10], v[26]);
    rotate(v[27], C32_11, S32_11);
    butterfly(v[11], v[27]);
    rotate(v[28], C32_12, S32_12);
    butterfly(v[12], v[28]);
    rotate(v[29], C32_13, S32_13);
    butterfly(v[13], v[29]);
    rotate(v[30], C32_14, S32_14);
    butterfly(v[14], v[30]);
    rotate(v[31], C32_15, S32_15);
    butterfly(v[15], v[31]);
}
constexpr int BIT_REVERSED_32[32] = {0, 16, 8, 24, 4, 20, 12, 28, 2, 18, 10, 26, 6, 22, 14, 30,
                                     1, 17, 9, 25, 5, 21, 13, 29, 3, 19, 11, 27, 7, 23, 15, 31};

template <int n>
void runNetwork(Complex* v);
template <>
void runNetwork<4>(Complex* v) {
    network4(v);
}
template <>
void runNetwork<8>(Complex* v) {
    network8(v);
}
template <>
void runNetwork<16>(Complex* v) {
    network16(v);
}
template <>
void runNetwork<32>(Complex* v) {
    network32(v);
}

template <int n>
void fftComplexFixed(const int (&order)[n], const Complex* in, Complex* out) {
    Complex v[n];
    for (int k = 0; k < n; ++k) v[k] = in[order[k]];
    runNetwork<n>(v);
    for (int k = 0; k < n; ++k) out[k] = v[k];
}

// Reads only the real parts; the imaginary parts of the input are taken as zero.
template <int n>
void fftRealFixed(const int (&order)[n], const Complex* in, Complex* out) {
    Complex v[n];
    for (int k = 0; k < n; ++k) v[k] = {in[order[k]].re, 0.0f};
    runNetwork<n>(v);
    for (int k = 0; k < n; ++k) out[k] = v[k];
}

[[noreturn]] void unsupportedLength(int n) {
    throw std::invalid_argument("fft length " + std::to_string(n) +
                                " is not supported; n must be one of 4, 8, 16, 32, 64");
}

} // namespace

void fftReal(int n, const Complex* in, Complex* out) {
    switch (n) {
    case 4:
        return fftRealFixed<4>(BIT_REVERSED_4, in, out);
    case 8:
        return fftRealFixed<8>(BIT_REVERSED_8, in, out);
    case 16:
        return fftRealFixed<16>(BIT_REVERSED_16, in, out);
    case 32:
        return fftRealFixed<32>(BIT_REVERSED_32, in, out);
    case 64: {
        // Same contract as the shorter lengths: the imaginary parts are not read.
        Complex real[64];
        for (int i = 0; i < 64; ++i) real[i] = {in[i].re, 0.0f};
        return FFTComplex64(real, out);
    }
    default:
        unsupportedLength(n);
    }
}

void fftComplex(int n, const Complex* in, Complex* out) {
    switch (n) {
    case 4:
        return fftComplexFixed<4>(BIT_REVERSED_4, in, out);
    case 8:
        return fftComplexFixed<8>(BIT_REVERSED_8, in, out);
    case 16:
        return fftComplexFixed<16>(BIT_REVERSED_16, in, out);
    case 32:
        return fftComplexFixed<32>(BIT_REVERSED_32, in, out);
    case 64:
        return FFTComplex64(in, out);
    default:
        unsupportedLength(n);
    }
}

} // namespace vexa
