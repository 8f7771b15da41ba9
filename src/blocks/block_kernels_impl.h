// Body of the fixed-size block products, included once per instruction-set
// build with VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2).
#include "blocks/block_kernels.h"

#include <algorithm>

#ifdef __AVX2__
#include <immintrin.h>
#endif

namespace vexa {
namespace VEXA_KERNEL_NS {

namespace {

// Every pass keeps one accumulator per output of a row, so the inner loops
// run across contiguous outputs and vectorise; each accumulator still adds
// its terms from k = 0 upward. Rows are padded to PX (4 or 8) lanes in the
// scratch planes, so a row of six is one full vector; the padding lanes
// carry zeros and are never written out.
template <int NX, int NY, int NZ>
void product(const float* in, const float* mx, const float* my, const float* mz, float* out) {
    constexpr int PX = NX <= 4 ? 4 : 8;
    static_assert(NX <= 8, "rows of at most eight");
    // x pass: rows of the block times the transposed matrix.
    float mt[NX * PX] = {};
    for (int j = 0; j < NX; ++j)
        for (int k = 0; k < NX; ++k) mt[k * PX + j] = mx[j * NX + k];
    alignas(32) float a[NY * NZ * PX];
    for (int r = 0; r < NY * NZ; ++r) {
        const float* u = in + r * NX;
        float acc[PX];
        for (int j = 0; j < PX; ++j) acc[j] = mt[j] * u[0];
        for (int k = 1; k < NX; ++k)
            for (int j = 0; j < PX; ++j) acc[j] += mt[k * PX + j] * u[k];
        for (int j = 0; j < PX; ++j) a[r * PX + j] = acc[j];
    }
    // y pass: one plane at a time, across x.
    alignas(32) float b[NY * NZ * PX];
    for (int z = 0; z < NZ; ++z) {
        const float* plane = a + z * NY * PX;
        for (int j = 0; j < NY; ++j) {
            float acc[PX];
            for (int x = 0; x < PX; ++x) acc[x] = my[j * NY] * plane[x];
            for (int k = 1; k < NY; ++k)
                for (int x = 0; x < PX; ++x) acc[x] += my[j * NY + k] * plane[k * PX + x];
            if constexpr (NZ == 1)
                for (int x = 0; x < NX; ++x) out[j * NX + x] = acc[x];
            else
                for (int x = 0; x < PX; ++x) b[(z * NY + j) * PX + x] = acc[x];
        }
    }
    // z pass: across a whole (padded) plane.
    if constexpr (NZ > 1) {
        constexpr int P = NY * PX;
        for (int j = 0; j < NZ; ++j) {
            float acc[P];
            for (int q = 0; q < P; ++q) acc[q] = mz[j * NZ] * b[q];
            for (int k = 1; k < NZ; ++k)
                for (int q = 0; q < P; ++q) acc[q] += mz[j * NZ + k] * b[k * P + q];
            for (int y = 0; y < NY; ++y)
                for (int x = 0; x < NX; ++x) out[(j * NY + y) * NX + x] = acc[y * PX + x];
        }
    }
}

// Slot of origin (x, y, z) in the ring.
inline float* slotOf(const RegionTarget& t, int x, int y, int z) {
    const long index =
        (static_cast<long>(z % t.range.z) * t.range.y + y % t.range.y) * t.range.x + x % t.range.x;
    return t.data + index * t.slotFloats;
}

// Writes the n coefficients of the lanes set in `store` (o holds coefficient
// i of lane l at o[i * L + l]) to their slots.
template <int N>
void storeLanes(const float* o, float* const* slot, const bool* store) {
    constexpr int L = kRegionLanes;
#ifdef __AVX2__
    if constexpr (N % 8 == 0) {
        // 8 x 8 tiles transposed in registers: eight coefficients of one lane per store.
        for (int i = 0; i < N; i += 8) {
            const float* r = o + i * L;
            const __m256 r0 = _mm256_load_ps(r), r1 = _mm256_load_ps(r + 8),
                         r2 = _mm256_load_ps(r + 16), r3 = _mm256_load_ps(r + 24),
                         r4 = _mm256_load_ps(r + 32), r5 = _mm256_load_ps(r + 40),
                         r6 = _mm256_load_ps(r + 48), r7 = _mm256_load_ps(r + 56);
            const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1),
                         t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3),
                         t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5),
                         t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
            const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE),
                         u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE),
                         u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE),
                         u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
            const __m256 lane[8] = {
                _mm256_permute2f128_ps(u0, u4, 0x20), _mm256_permute2f128_ps(u1, u5, 0x20),
                _mm256_permute2f128_ps(u2, u6, 0x20), _mm256_permute2f128_ps(u3, u7, 0x20),
                _mm256_permute2f128_ps(u0, u4, 0x31), _mm256_permute2f128_ps(u1, u5, 0x31),
                _mm256_permute2f128_ps(u2, u6, 0x31), _mm256_permute2f128_ps(u3, u7, 0x31)};
            for (int l = 0; l < L; ++l)
                if (store[l]) _mm256_storeu_ps(slot[l] + i, lane[l]);
        }
        return;
    }
#endif
    for (int l = 0; l < L; ++l)
        if (store[l])
            for (int i = 0; i < N; ++i) slot[l][i] = o[i * L + l];
}

// The region products: for each tile of eight origins along x and of up to
// TY along y, the planes of the volume are swept along z; each plane gets its
// x pass (rows shared by the tile's blocks) and y pass, the last NZ planes
// are kept in a ring, and every complete set of NZ of them gives the z pass
// of one row of origins. Lanes run across origins, so every loop over l is
// one vector.
template <int NX, int NY, int NZ>
void region(const RegionSource& src, const Vec3<int>& lo, const Vec3<int>& n, const float* mx,
            const float* my, const float* mz, const RegionTarget& out) {
    constexpr int L = kRegionLanes;
    constexpr int C = NX * NY; // coefficients of one z layer of a block
    constexpr int TY = 8;
    alignas(32) float a[(TY + NY - 1) * NX * L];
    alignas(32) float b[NZ][TY * C * L];
    alignas(32) float o[NZ * C * L];
    const int endX = lo.x + n.x, endY = lo.y + n.y;
    for (int xs = lo.x; xs < endX; xs += L) {
        // The last tile of a row ends at the last origin; lanes outside
        // [xs, endX) are computed and not stored.
        const int ts = std::min(xs, src.originsX - L);
        bool store[L];
        for (int l = 0; l < L; ++l) store[l] = ts + l >= xs && ts + l < endX;
        for (int ys = lo.y; ys < endY; ys += TY) {
            const int ty = std::min(TY, endY - ys);
            for (int zi = 0; zi < n.z + NZ - 1; ++zi) {
                const float* plane = src.data + (lo.z + zi) * src.sliceStride + ts;
                // x pass: rows ys .. ys + ty + NY - 2 of the plane.
                for (int r = 0; r < ty + NY - 1; ++r) {
                    const float* row = plane + (ys + r) * src.rowStride;
                    for (int j = 0; j < NX; ++j) {
                        float acc[L];
                        for (int l = 0; l < L; ++l) acc[l] = mx[j * NX] * row[l];
                        for (int k = 1; k < NX; ++k)
                            for (int l = 0; l < L; ++l) acc[l] += mx[j * NX + k] * row[k + l];
                        for (int l = 0; l < L; ++l) a[(r * NX + j) * L + l] = acc[l];
                    }
                }
                // y pass: row y of origins takes rows y .. y + NY - 1.
                float* bp = NZ == 1 ? o : b[zi % NZ];
                for (int y = 0; y < ty; ++y) {
                    float* dst = NZ == 1 ? o : bp + y * C * L;
                    for (int jy = 0; jy < NY; ++jy)
                        for (int jx = 0; jx < NX; ++jx) {
                            float acc[L];
                            for (int l = 0; l < L; ++l)
                                acc[l] = my[jy * NY] * a[(y * NX + jx) * L + l];
                            for (int k = 1; k < NY; ++k)
                                for (int l = 0; l < L; ++l)
                                    acc[l] += my[jy * NY + k] * a[((y + k) * NX + jx) * L + l];
                            for (int l = 0; l < L; ++l) dst[(jy * NX + jx) * L + l] = acc[l];
                        }
                    if constexpr (NZ == 1) {
                        float* slot[L];
                        for (int l = 0; l < L; ++l)
                            slot[l] = store[l] ? slotOf(out, ts + l, ys + y, lo.z + zi) : nullptr;
                        storeLanes<C>(o, slot, store);
                    }
                }
                if constexpr (NZ > 1) {
                    // z pass once the NZ planes of origin row z are in.
                    const int zo = zi - (NZ - 1);
                    if (zo < 0) continue;
                    for (int y = 0; y < ty; ++y) {
                        for (int jz = 0; jz < NZ; ++jz)
                            for (int c = 0; c < C; ++c) {
                                const float* first = b[zo % NZ] + (y * C + c) * L;
                                float acc[L];
                                for (int l = 0; l < L; ++l) acc[l] = mz[jz * NZ] * first[l];
                                for (int k = 1; k < NZ; ++k) {
                                    const float* p = b[(zo + k) % NZ] + (y * C + c) * L;
                                    for (int l = 0; l < L; ++l) acc[l] += mz[jz * NZ + k] * p[l];
                                }
                                for (int l = 0; l < L; ++l) o[(jz * C + c) * L + l] = acc[l];
                            }
                        float* slot[L];
                        for (int l = 0; l < L; ++l)
                            slot[l] = store[l] ? slotOf(out, ts + l, ys + y, lo.z + zo) : nullptr;
                        storeLanes<NZ * C>(o, slot, store);
                    }
                }
            }
        }
    }
}

} // namespace

bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz,
                       float* out, int nx, int ny, int nz) {
    if (nx == 4 && ny == 4 && nz == 4) return product<4, 4, 4>(in, mx, my, mz, out), true;
    if (nx == 8 && ny == 8 && nz == 1) return product<8, 8, 1>(in, mx, my, mz, out), true;
    if (nx == 6 && ny == 6 && nz == 6) return product<6, 6, 6>(in, mx, my, mz, out), true;
    return false;
}

bool regionProductFixed(const RegionSource& src, const Vec3<int>& lo, const Vec3<int>& count,
                        const float* mx, const float* my, const float* mz, const Vec3<int>& size,
                        const RegionTarget& out) {
    if (src.originsX < kRegionLanes) return false;
    if (size.x == 4 && size.y == 4 && size.z == 4)
        return region<4, 4, 4>(src, lo, count, mx, my, mz, out), true;
    if (size.x == 8 && size.y == 8 && size.z == 1)
        return region<8, 8, 1>(src, lo, count, mx, my, mz, out), true;
    if (size.x == 6 && size.y == 6 && size.z == 6)
        return region<6, 6, 6>(src, lo, count, mx, my, mz, out), true;
    return false;
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
