// Body of the factored-noise kernel, included once per instruction-set
// build after psd/variance_kernels_impl.h, with VEXA_KERNEL_NS naming the
// namespace (kernels_base, kernels_avx2).
#include <cstddef>

#include "psd/float8.h"
#include "psd/variance_kernels.h"

namespace vexa {
namespace VEXA_KERNEL_NS {

namespace {

// Rows contracted together: independent sums in flight hide the latency of
// the adds, each sum still a plain chain in increasing order.
constexpr int kFactoredRows = 4;

// z contraction of rows fy .. fy + R - 1 of factor row kz.
template <int V, int R>
inline void zRows(const FactoredMap& m, const float* kz, int fy, float* dst) {
    constexpr int L = 8 * V;
    Float8 acc[R][V];
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) acc[r][v] = zero8();
    const float* src = m.map + m.sy * static_cast<std::size_t>(fy);
    for (int fz = 0; fz < m.nz; ++fz, src += m.sz) {
        const Float8 k = broadcast8(kz[fz]);
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < V; ++v)
                acc[r][v] = add8(acc[r][v], mul8(k, load8(src + m.sy * r + 8 * v)));
    }
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) store8(dst + L * r + 8 * v, acc[r][v]);
}

// y contraction of the z sums of one cz for factor rows cy .. cy + R - 1.
template <int V, int R>
inline void yRows(const FactoredMap& m, const float* zRow, int cy, float* dst) {
    constexpr int L = 8 * V;
    Float8 acc[R][V];
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) acc[r][v] = zero8();
    const float* ky = m.ky + static_cast<std::size_t>(cy) * m.ny;
    for (int fy = 0; fy < m.ny; ++fy, zRow += L) {
        for (int r = 0; r < R; ++r) {
            const Float8 k = broadcast8(ky[static_cast<std::size_t>(r) * m.ny + fy]);
            for (int v = 0; v < V; ++v) acc[r][v] = add8(acc[r][v], mul8(k, load8(zRow + 8 * v)));
        }
    }
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) store8(dst + L * r + 8 * v, acc[r][v]);
}

// The map times the PSD, row by row, into weighted ([fz][fy][L]); the
// contractions then read it in place of the map.
template <int V>
inline FactoredMap weightedMap(const FactoredMap& m, float* weighted) {
    constexpr int L = 8 * V;
    for (int fz = 0; fz < m.nz; ++fz)
        for (int fy = 0; fy < m.ny; ++fy) {
            const std::size_t at = static_cast<std::size_t>(L) * (fy + m.ny * fz);
            const float* src =
                m.map + m.sy * static_cast<std::size_t>(fy) + m.sz * static_cast<std::size_t>(fz);
            for (int v = 0; v < V; ++v)
                store8(weighted + at + 8 * v, mul8(load8(src + 8 * v), load8(m.psd + at + 8 * v)));
        }
    FactoredMap w = m;
    w.map = weighted;
    w.psd = nullptr;
    w.sy = L;
    w.sz = static_cast<std::size_t>(L) * m.ny;
    return w;
}

// V vectors of eight per row. z then y are contracted across whole rows
// (broadcast factor times row), the rows are then turned so that the x
// contraction runs along the (cz, cy) pairs, which are psi's rows.
template <int V>
void factoredRows(const FactoredMap& given) {
    alignas(32) float weighted[kFactoredScratch];
    const FactoredMap m = given.psd == nullptr ? given : weightedMap<V>(given, weighted);
    constexpr int L = 8 * V;
    constexpr int R = kFactoredRows;
    const int Q = m.By * m.Bz;
    alignas(32) float zSums[kFactoredScratch];  // [cz][fy][L]
    alignas(32) float turned[kFactoredScratch]; // [fx][q = cz * By + cy]
    alignas(32) float rows[R * L];
    for (int cz = 0; cz < m.Bz; ++cz) {
        const float* kz = m.kz + static_cast<std::size_t>(cz) * m.nz;
        float* dst = zSums + static_cast<std::size_t>(cz) * m.ny * L;
        int fy = 0;
        for (; fy + R <= m.ny; fy += R)
            zRows<V, R>(m, kz, fy, dst + static_cast<std::size_t>(fy) * L);
        for (; fy < m.ny; ++fy) zRows<V, 1>(m, kz, fy, dst + static_cast<std::size_t>(fy) * L);
    }
    for (int cz = 0; cz < m.Bz; ++cz) {
        const float* zRow = zSums + static_cast<std::size_t>(cz) * m.ny * L;
        // Each block of rows is turned into columns q = cz * By + cy.
        const auto turn = [&](int cy, int r) {
            for (int k = 0; k < r; ++k) {
                const int q = cz * m.By + cy + k;
                for (int fx = 0; fx < m.nx; ++fx)
                    turned[static_cast<std::size_t>(fx) * Q + q] = rows[L * k + fx];
            }
        };
        int cy = 0;
        for (; cy + R <= m.By; cy += R) {
            yRows<V, R>(m, zRow, cy, rows);
            turn(cy, R);
        }
        for (; cy < m.By; ++cy) {
            yRows<V, 1>(m, zRow, cy, rows);
            turn(cy, 1);
        }
    }
    for (int cx = 0; cx < m.Bx; ++cx) {
        const float* kx = m.kx + static_cast<std::size_t>(cx) * m.nx;
        int q = 0;
        for (; q + 8 <= Q; q += 8) {
            Float8 acc = zero8();
            for (int fx = 0; fx < m.nx; ++fx)
                acc = add8(acc, mul8(broadcast8(kx[fx]),
                                     load8(turned + static_cast<std::size_t>(fx) * Q + q)));
            alignas(32) float sums[8];
            store8(sums, acc);
            for (int k = 0; k < 8; ++k)
                m.out[cx + static_cast<std::size_t>(m.Bx) * (q + k)] = sums[k];
        }
        for (; q < Q; ++q) {
            float acc = 0.0f;
            for (int fx = 0; fx < m.nx; ++fx)
                acc += kx[fx] * turned[static_cast<std::size_t>(fx) * Q + q];
            m.out[cx + static_cast<std::size_t>(m.Bx) * q] = acc;
        }
    }
}

} // namespace

void factoredMapSums(const FactoredMap& m) {
    switch ((m.nx + 7) / 8) {
    case 1:
        return factoredRows<1>(m);
    case 2:
        return factoredRows<2>(m);
    case 3:
        return factoredRows<3>(m);
    case 4:
        return factoredRows<4>(m);
    case 5:
        return factoredRows<5>(m);
    case 6:
        return factoredRows<6>(m);
    case 7:
        return factoredRows<7>(m);
    default:
        return factoredRows<8>(m);
    }
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
