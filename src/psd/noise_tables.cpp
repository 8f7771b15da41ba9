#include "psd/noise_tables.h"

#include <cstddef>

#include "core/allocator.h"
#include "core/check.h"
#include "psd/resize_psd.h"
#include "psd/variances.h"

namespace vexa {

namespace {

std::size_t pointCount(const Vec3<int>& v) {
    return static_cast<std::size_t>(v.x) * static_cast<std::size_t>(v.y) *
           static_cast<std::size_t>(v.z);
}

} // namespace

template <class T>
void calculateK3fT3(const T* psd, const T* responses, const Vec3<int>& B,
                    const Vec3<int>& gridReversed, const Vec3<int>& workReversed, T*& out) {
    const std::size_t nB = pointCount(B);
    const std::size_t nF = pointCount(gridReversed);
    VEXA_CHECK(workReversed.x == gridReversed.x && workReversed.y == gridReversed.y &&
                   workReversed.z <= gridReversed.z,
               "W.x <= F.x && W.y == F.y && W.z == F.z");
    out = static_cast<T*>(cMalloc(nB * nF * sizeof(T)));
    if (out == nullptr) return;
    const int Fz = gridReversed.x;
    const int Fy = gridReversed.y;
    const int Fx = gridReversed.z;
    // |F|^2 reaches 2^36 for a 64^3 grid; form it in double before rounding.
    const T squaredCount = static_cast<T>(static_cast<double>(nF) * static_cast<double>(nF));
    for (int fx = 0; fx < Fx; ++fx) {
        for (int fy = 0; fy < Fy; ++fy) {
            for (int fz = 0; fz < Fz; ++fz) {
                const std::size_t phi =
                    static_cast<std::size_t>(fx) +
                    static_cast<std::size_t>(Fx) *
                        (static_cast<std::size_t>(fy) + static_cast<std::size_t>(Fy) * fz);
                const std::size_t folded =
                    static_cast<std::size_t>(fz) +
                    static_cast<std::size_t>(Fz) *
                        (static_cast<std::size_t>(fy) + static_cast<std::size_t>(Fy) * fx);
                const T p = psd[phi];
                T* dst = out + nB * folded;
                const T* src = responses + phi;
                for (std::size_t psi = 0; psi < nB; ++psi) {
                    dst[psi] = (src[nF * psi] * p) / squaredCount;
                }
            }
        }
    }
}

// Folds the x layers of a spectrum symmetric in fx onto the working width Wx.
template <class T>
void foldAlongX(T* table, const Vec3<int>& F, int Wx, std::size_t nB) {
    const int r = F.x % 2;
    const std::size_t layer = nB * static_cast<std::size_t>(F.y) * static_cast<std::size_t>(F.z);
    for (int fx = 1; fx < Wx - 1 - r; ++fx) {
        T* p = table + layer * static_cast<std::size_t>(fx);
        for (std::size_t i = 0; i < layer; ++i) p[i] *= 2;
    }
    for (int fx = Wx - r; fx < F.x; ++fx) {
        T* p = table + layer * static_cast<std::size_t>(fx);
        for (std::size_t i = 0; i < layer; ++i) p[i] = 0;
    }
}

template <class T>
void computeK3fT3(const float* psd, const Vec3<int>& psdSize, Vec3<int> F, const Vec3<int>& W,
                  const Vec3<int>& B, const Vec3<const T*>& forward, T*& out) {
    // A working width above the grid (psdSymmetry on a grid of width 1) would
    // make every later sum read past the table.
    VEXA_CHECK(W.x >= 1 && W.x <= F.x && W.y == F.y && W.z == F.z,
               "W.x <= F.x && W.y == F.y && W.z == F.z");
    const std::size_t nB = pointCount(B);
    const std::size_t nF = pointCount(F);

    float* P = nullptr;
    resizePSD(psd, psdSize, F, W, P);
    if (P == nullptr) return;

    const AxisPowers<T> A(B, F, forward);
    T* T3 = nullptr;
    if (A.valid()) T3 = static_cast<T*>(cMalloc(nF * nB * sizeof(T)));
    if (T3 == nullptr) {
        cFree(P);
        return;
    }

    for (int cz = 0; cz < B.z; ++cz) {
        for (int cy = 0; cy < B.y; ++cy) {
            for (int cx = 0; cx < B.x; ++cx) {
                const std::size_t psi =
                    static_cast<std::size_t>(cx) +
                    static_cast<std::size_t>(B.x) *
                        (static_cast<std::size_t>(cy) + static_cast<std::size_t>(B.y) * cz);
                T* dst = T3 + nF * psi;
                const T* rx = A.x + static_cast<std::size_t>(cx) * F.x;
                const T* ry = A.y + static_cast<std::size_t>(cy) * F.y;
                const T* rz = A.z + static_cast<std::size_t>(cz) * F.z;
                std::size_t phi = 0;
                for (int fz = 0; fz < F.z; ++fz) {
                    for (int fy = 0; fy < F.y; ++fy) {
                        const T xy = ry[fy];
                        for (int fx = 0; fx < F.x; ++fx) dst[phi++] = (rx[fx] * xy) * rz[fz];
                    }
                }
            }
        }
    }

    T* table = nullptr;
    calculateK3fT3<T>(P, T3, B, Vec3<int>{F.z, F.y, F.x}, Vec3<int>{F.z, F.y, W.x}, table);
    cFree(P);
    cFree(T3);
    if (table == nullptr) return;
    if (W.x < F.x) foldAlongX(table, F, W.x, nB);
    out = table;
}

void computeLocalVar(const float* K3fT3, const Vec3<int>& W, int n, float*& out) {
    out = static_cast<float*>(cMalloc(static_cast<std::size_t>(n) * sizeof(float)));
    if (out == nullptr) return;
    weightedLayerSum<float>(K3fT3, nullptr, 1, n, pointCount(W), out);
}

template void calculateK3fT3<float>(const float*, const float*, const Vec3<int>&, const Vec3<int>&,
                                    const Vec3<int>&, float*&);
template void computeK3fT3<float>(const float*, const Vec3<int>&, Vec3<int>, const Vec3<int>&,
                                  const Vec3<int>&, const Vec3<const float*>&, float*&);

} // namespace vexa
