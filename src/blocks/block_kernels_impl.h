// Body of the fixed-size block products, included once per instruction-set
// build with VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2).
#include "blocks/block_kernels.h"

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

} // namespace

bool blockProductFixed(const float* in, const float* mx, const float* my, const float* mz, float* out,
                       int nx, int ny, int nz) {
    if (nx == 4 && ny == 4 && nz == 4) return product<4, 4, 4>(in, mx, my, mz, out), true;
    if (nx == 8 && ny == 8 && nz == 1) return product<8, 8, 1>(in, mx, my, mz, out), true;
    if (nx == 6 && ny == 6 && nz == 6) return product<6, 6, 6>(in, mx, my, mz, out), true;
    return false;
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
