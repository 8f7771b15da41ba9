#include "psd/variances.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/check.h"
#include "psd/fft.h"

// The one-line versions of the per-group variances: every Fourier line
// through fftReal/fftComplex, gathered and scattered through the maps, and
// one pass over K3fT3 per exact coefficient. The batched versions in
// variances.cpp must give the same bits (bench/variances_bench.cpp times both).

namespace vexa {

namespace {

inline int reduce(int v, int period) {
    const int r = v % period;
    return r < 0 ? r + period : r;
}

} // namespace

template <class T>
void checkVarianceArguments(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W,
                            int E, const T* localVar, const Cube4D<T>& variances,
                            const TempMemory<T>& temp) {
    VEXA_CHECK(W.x >= 1 && W.x <= F.x && W.y == F.y && W.z == F.z,
               "W.x <= F.x && W.y == F.y && W.z == F.z");
    VEXA_CHECK(N >= 1 && E >= 0 && E <= N, "E >= 0 && E <= N");
    VEXA_CHECK(E == N || localVar != nullptr, "E == N || localVar != nullptr");
    VEXA_CHECK(temp.spectrumCube.size.x == F.x && temp.spectrumCube.size.y == F.y &&
                   temp.spectrumCube.size.z == F.z && temp.spectrumCube.size.w >= 1,
               "spectrumCube matches the grid");
    VEXA_CHECK(temp.planeCube.size.x == F.z && temp.planeCube.size.y == F.y &&
                   temp.planeCube.size.z == W.x && temp.planeCube.size.w >= 1,
               "planeCube matches the working grid");
    VEXA_CHECK(temp.maxDim >= F.x && temp.maxDim >= F.y && temp.maxDim >= F.z,
               "temp.maxDim covers the grid");
    VEXA_CHECK(variances.size.x == B.x && variances.size.y == B.y && variances.size.z == B.z &&
                   variances.size.w >= N,
               "variances matches the group");
}

template <class T>
void transformVariancePlane(const Vec3<int>& F, const Vec3<int>& W, int count,
                            Cube4D<Complex>& maps, Cube4D<T>& power, const bool* rowMask,
                            TempMemory<T>& temp) {
    VEXA_CHECK(maps.size.x == F.x && maps.size.y == F.y && maps.size.z == F.z &&
                   maps.size.w >= count && power.size.x == F.z && power.size.y == F.y &&
                   power.size.z == W.x && power.size.w >= count,
               "maps and power match the grids");
    Complex* lineIn = temp.fftLinesA;
    Complex* lineOut = temp.fftLinesB;
    const int Wx = W.x;

    if (F.x > 1) {
        for (int w = 0; w < count; ++w) {
            for (int z = 0; z < F.z; ++z) {
                for (int y = 0; y < F.y; ++y) {
                    if (!rowMask[y + F.y * z]) continue;
                    const Complex* row = maps.data + maps.index({0, y, z, w});
                    for (int x = 0; x < F.x; ++x) lineIn[x] = row[x];
                    fftReal(F.x, lineIn, lineOut);
                    for (int x = 0; x < F.x; ++x) maps.setCoeff({x, y, z, w}, lineOut[x]);
                }
            }
        }
    }

    if (F.z > 1) {
        for (int w = 0; w < count; ++w) {
            for (int y = 0; y < F.y; ++y) {
                // A y with no member in any z row holds only zeros after the x pass.
                bool occupied = false;
                for (int z = 0; z < F.z; ++z) occupied = occupied || rowMask[y + F.y * z];
                if (!occupied) continue;
                // Columns x >= Wx are never read by the y pass, so they are not transformed.
                for (int x = 0; x < Wx; ++x) {
                    for (int z = 0; z < F.z; ++z) lineIn[z] = maps.data[maps.index({x, y, z, w})];
                    fftComplex(F.z, lineIn, lineOut);
                    for (int z = 0; z < F.z; ++z) maps.setCoeff({x, y, z, w}, lineOut[z]);
                }
            }
        }
    }

    // power(fz, fy, fx, w) at fz + Fz*(fy + Fy*(fx + Wx*w)).
    const std::size_t strideY = static_cast<std::size_t>(F.z);
    const std::size_t strideX = strideY * static_cast<std::size_t>(F.y);
    const std::size_t strideW = strideX * static_cast<std::size_t>(Wx);
    for (int w = 0; w < count; ++w) {
        for (int z = 0; z < F.z; ++z) {
            for (int x = 0; x < Wx; ++x) {
                T* dst = power.data + strideW * w + strideX * x + z;
                if (F.y > 1) {
                    for (int y = 0; y < F.y; ++y) lineIn[y] = maps.data[maps.index({x, y, z, w})];
                    fftComplex(F.y, lineIn, lineOut);
                    for (int fy = 0; fy < F.y; ++fy) {
                        dst[strideY * fy] =
                            lineOut[fy].im * lineOut[fy].im + lineOut[fy].re * lineOut[fy].re;
                    }
                } else {
                    const Complex c = maps.data[maps.index({x, 0, z, w})];
                    dst[0] = c.im * c.im + c.re * c.re;
                }
            }
        }
    }
}

template <class T>
void calculateVariancesReference(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W,
                                 int E, const T* G, const T* K3fT3, const T* localVar,
                                 Cube4D<T>& variances, BlockDistance<T>* members,
                                 TempMemory<T>& temp) {
    checkVarianceArguments<T>(N, B, F, W, E, localVar, variances, temp);

    const int nB = B.x * B.y * B.z;
    const std::size_t nF = static_cast<std::size_t>(F.x) * F.y * F.z;
    const std::size_t nW = static_cast<std::size_t>(W.x) * W.y * W.z;

    std::memset(temp.planeMask, 0, static_cast<std::size_t>(F.y) * F.z * sizeof(bool));
    for (int i = 0; i < N; ++i) {
        Vec3<int>& p = members[i].relativePosition;
        p = {reduce(p.x, F.x), reduce(p.y, F.y), reduce(p.z, F.z)};
        temp.planeMask[p.y + F.y * p.z] = true;
    }

    // Position maps go through in batches of up to four, as many as the scratch
    // slices allow: one slice suffices, so the pair table also works with
    // maxGroupSize 1, and the scratch touched per group stays small.
    const int capacity = std::min(std::min(temp.spectrumCube.size.w, temp.planeCube.size.w), 4);
    T* exactSum = temp.blockScratchC;
    for (int psi = 0; psi < nB; ++psi) exactSum[psi] = 0;
    for (int w0 = 0; w0 < E; w0 += capacity) {
        const int batch = std::min(capacity, E - w0);
        Cube4D<Complex> maps;
        maps.size = {F.x, F.y, F.z, batch};
        maps.data = temp.spectrumCube.data;
        Cube4D<T> power;
        power.size = {F.z, F.y, W.x, batch};
        power.data = temp.planeCube.data;
        std::memset(static_cast<void*>(maps.data), 0,
                    nF * static_cast<std::size_t>(batch) * sizeof(Complex));
        for (int i = 0; i < N; ++i) {
            const Vec3<int>& p = members[i].relativePosition;
            for (int b = 0; b < batch; ++b) {
                const Vec4i at{p.x, p.y, p.z, b};
                Complex c = maps.data[maps.index(at)];
                c.re += G[static_cast<std::size_t>(w0 + b) * N + i]; // coinciding members add up
                maps.setCoeff(at, c);
            }
        }
        transformVariancePlane<T>(F, W, batch, maps, power, temp.planeMask, temp);
        T* v = variances.data + static_cast<std::size_t>(nB) * w0;
        weightedLayerSum<T>(K3fT3, power.data, batch, nB, nW, v);
        for (int b = 0; b < batch; ++b) {
            for (int psi = 0; psi < nB; ++psi)
                exactSum[psi] += v[static_cast<std::size_t>(nB) * b + psi];
        }
    }
    shareRemainingVariance(N, E, nB, localVar, exactSum, variances);
}

template void checkVarianceArguments<float>(int, const Vec3<int>&, const Vec3<int>&,
                                            const Vec3<int>&, int, const float*,
                                            const Cube4D<float>&, const TempMemory<float>&);
template void transformVariancePlane<float>(const Vec3<int>&, const Vec3<int>&, int,
                                            Cube4D<Complex>&, Cube4D<float>&, const bool*,
                                            TempMemory<float>&);
template void calculateVariancesReference<float>(int, const Vec3<int>&, const Vec3<int>&,
                                                 const Vec3<int>&, int, const float*, const float*,
                                                 const float*, Cube4D<float>&,
                                                 BlockDistance<float>*, TempMemory<float>&);

} // namespace vexa
