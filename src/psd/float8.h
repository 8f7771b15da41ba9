// Eight floats as one value, for the hand-blocked variance kernels; included
// once per instruction-set build inside VEXA_KERNEL_NS (AVX2 where the build
// has it, else two SSE2 halves, else a plain array). Only separate multiplies
// and adds: nothing is fused, so every path gives the same bits.
#pragma once

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace vexa {
namespace VEXA_KERNEL_NS {
namespace {

#if defined(__AVX2__)
struct Float8 {
    __m256 v;
};
inline Float8 zero8() {
    return {_mm256_setzero_ps()};
}
inline Float8 load8(const float* p) {
    return {_mm256_loadu_ps(p)};
}
inline void store8(float* p, Float8 a) {
    _mm256_storeu_ps(p, a.v);
}
inline Float8 broadcast8(float f) {
    return {_mm256_set1_ps(f)};
}
inline Float8 add8(Float8 a, Float8 b) {
    return {_mm256_add_ps(a.v, b.v)};
}
inline Float8 mul8(Float8 a, Float8 b) {
    return {_mm256_mul_ps(a.v, b.v)};
}
inline void prefetch(const float* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
}
#elif defined(__SSE2__) || defined(_M_X64)
struct Float8 {
    __m128 lo, hi;
};
inline Float8 zero8() {
    return {_mm_setzero_ps(), _mm_setzero_ps()};
}
inline Float8 load8(const float* p) {
    return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)};
}
inline void store8(float* p, Float8 a) {
    _mm_storeu_ps(p, a.lo);
    _mm_storeu_ps(p + 4, a.hi);
}
inline Float8 broadcast8(float f) {
    return {_mm_set1_ps(f), _mm_set1_ps(f)};
}
inline Float8 add8(Float8 a, Float8 b) {
    return {_mm_add_ps(a.lo, b.lo), _mm_add_ps(a.hi, b.hi)};
}
inline Float8 mul8(Float8 a, Float8 b) {
    return {_mm_mul_ps(a.lo, b.lo), _mm_mul_ps(a.hi, b.hi)};
}
inline void prefetch(const float* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
}
#else
struct Float8 {
    float v[8];
};
inline Float8 zero8() {
    return {};
}
inline Float8 load8(const float* p) {
    Float8 r;
    for (int i = 0; i < 8; ++i) r.v[i] = p[i];
    return r;
}
inline void store8(float* p, Float8 a) {
    for (int i = 0; i < 8; ++i) p[i] = a.v[i];
}
inline Float8 broadcast8(float f) {
    Float8 r;
    for (int i = 0; i < 8; ++i) r.v[i] = f;
    return r;
}
inline Float8 add8(Float8 a, Float8 b) {
    for (int i = 0; i < 8; ++i) a.v[i] += b.v[i];
    return a;
}
inline Float8 mul8(Float8 a, Float8 b) {
    for (int i = 0; i < 8; ++i) a.v[i] *= b.v[i];
    return a;
}
inline void prefetch(const float*) {}
#endif

} // namespace
} // namespace VEXA_KERNEL_NS
} // namespace vexa
