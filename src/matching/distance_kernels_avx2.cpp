// AVX2 build of the candidate distances: eight candidates in the eight lanes
// of one vector. Each step loads eight coefficients of every candidate,
// transposes the 8x8 tile so that a register holds one coefficient of all
// eight, and adds the squares one coefficient after the other, so every lane
// sums in the scalar order. Compiled with -mavx2 -mfma -ffp-contract=off.
#include "matching/distance_kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace vexa {
namespace kernels_avx2 {

#if defined(__AVX2__)

namespace {

inline void transpose8(__m256& r0, __m256& r1, __m256& r2, __m256& r3, __m256& r4, __m256& r5,
                       __m256& r6, __m256& r7) {
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
    const __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
    const __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
    const __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r0 = _mm256_permute2f128_ps(s0, s4, 0x20);
    r1 = _mm256_permute2f128_ps(s1, s5, 0x20);
    r2 = _mm256_permute2f128_ps(s2, s6, 0x20);
    r3 = _mm256_permute2f128_ps(s3, s7, 0x20);
    r4 = _mm256_permute2f128_ps(s0, s4, 0x31);
    r5 = _mm256_permute2f128_ps(s1, s5, 0x31);
    r6 = _mm256_permute2f128_ps(s2, s6, 0x31);
    r7 = _mm256_permute2f128_ps(s3, s7, 0x31);
}

inline __m256 addSquare(__m256 acc, __m256 column, const float* ref) {
    const __m256 diff = _mm256_sub_ps(column, _mm256_broadcast_ss(ref));
    return _mm256_add_ps(acc, _mm256_mul_ps(diff, diff));
}

// Coefficients i .. i+7 of eight candidates, one register per coefficient.
struct Tile {
    __m256 c[8];
    Tile(const float* const* blocks, int i) {
        for (int k = 0; k < 8; ++k) c[k] = _mm256_loadu_ps(blocks[k] + i);
        transpose8(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    }
};

// Coefficient i of eight candidates (the tail of a range shorter than a tile
// at the block's start).
inline __m256 column(const float* const* blocks, int i) {
    alignas(32) float v[8];
    for (int k = 0; k < 8; ++k) v[k] = blocks[k][i];
    return _mm256_load_ps(v);
}

} // namespace

void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d) {
    __m256 acc = _mm256_loadu_ps(d);
    int i = from;
    for (; i + 8 <= to; i += 8) {
        const Tile t(blocks, i);
        for (int k = 0; k < 8; ++k) acc = addSquare(acc, t.c[k], ref + i + k);
    }
    if (i < to && to >= 8) {
        // The tail from the tile that ends with it (its first registers were
        // summed already): one turn instead of a gather per coefficient.
        const Tile t(blocks, to - 8);
        for (int k = 8 - (to - i); k < 8; ++k) acc = addSquare(acc, t.c[k], ref + to - 8 + k);
        i = to;
    }
    for (; i < to; ++i) acc = addSquare(acc, column(blocks, i), ref + i);
    _mm256_storeu_ps(d, acc);
}

void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d) {
    __m256 a = _mm256_loadu_ps(d), b = _mm256_loadu_ps(d + 8);
    int i = from;
    for (; i + 8 <= to; i += 8) {
        const Tile lo(blocks, i), hi(blocks + 8, i);
        for (int k = 0; k < 8; ++k) {
            a = addSquare(a, lo.c[k], ref + i + k);
            b = addSquare(b, hi.c[k], ref + i + k);
        }
    }
    if (i < to && to >= 8) {
        const Tile lo(blocks, to - 8), hi(blocks + 8, to - 8);
        for (int k = 8 - (to - i); k < 8; ++k) {
            a = addSquare(a, lo.c[k], ref + to - 8 + k);
            b = addSquare(b, hi.c[k], ref + to - 8 + k);
        }
        i = to;
    }
    for (; i < to; ++i) {
        a = addSquare(a, column(blocks, i), ref + i);
        b = addSquare(b, column(blocks + 8, i), ref + i);
    }
    _mm256_storeu_ps(d, a);
    _mm256_storeu_ps(d + 8, b);
}

#else

// Not an x86 build with AVX2: the dispatch never selects this path.
void candidateSums8(const float* const* blocks, const float* ref, int from, int to, float* d) {
    kernels_base::candidateSums8(blocks, ref, from, to, d);
}
void candidateSums16(const float* const* blocks, const float* ref, int from, int to, float* d) {
    kernels_base::candidateSums16(blocks, ref, from, to, d);
}

#endif

} // namespace kernels_avx2
} // namespace vexa
