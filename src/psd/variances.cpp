#include "psd/variances.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/check.h"
#include "psd/fft.h"
#include "psd/variance_kernels.h"

namespace vexa {

namespace {

// Members and grid rows the batched path keeps on the stack (the stage's
// groups have at most 64 members, its grid axes at most 64 points).
constexpr int MAX_BATCHED_MEMBERS = 64;

inline int reduce(int v, int period) {
    const int r = v % period;
    return r < 0 ? r + period : r;
}

} // namespace

template <class T>
void weightedLayerSum(const T* table, const T* weights, int count, int n, std::size_t layers,
                      T* out) {
    layerSums(table, weights, count, n, layers, out);
}

template <class T>
void weightedLayerSumReference(const T* table, const T* weights, int count, int n,
                               std::size_t layers, T* out) {
    const int vectors = weights == nullptr ? 1 : count;
    for (int w = 0; w < vectors; ++w) {
        for (int psi = 0; psi < n; ++psi) {
            T sum = 0;
            for (std::size_t layer = 0; layer < layers; ++layer) {
                const T v =
                    table[static_cast<std::size_t>(psi) + static_cast<std::size_t>(n) * layer];
                sum += weights == nullptr ? v : v * weights[layers * w + layer];
            }
            out[static_cast<std::size_t>(n) * w + psi] = sum;
        }
    }
}

template <class T>
void shareRemainingVariance(int N, int E, int nB, const T* localVar, const T* exactSum,
                            Cube4D<T>& variances) {
    if (E == N) return;
    const T groupLength = static_cast<T>(N);
    const T remaining = static_cast<T>(N - E);
    for (int w = E; w < N; ++w) {
        T* v = variances.data + static_cast<std::size_t>(nB) * w;
        for (int psi = 0; psi < nB; ++psi)
            v[psi] = (localVar[psi] * groupLength - exactSum[psi]) / remaining;
    }
}

template <class T>
void calculateVariances(int N, const Vec3<int>& B, const Vec3<int>& F, const Vec3<int>& W, int E,
                        const T* G, const T* K3fT3, const T* localVar, Cube4D<T>& variances,
                        BlockDistance<T>* members, TempMemory<T>& temp,
                        const FactoredNoise* factored) {
    checkVarianceArguments<T>(N, B, F, W, E, localVar, variances, temp);
    // The planes hold Wx columns rounded up to the lane width, inside the
    // spectrum cube's Fx; a grid without an x pass (Fx = 1), or a group or
    // axis longer than the tables below, takes the one-line path.
    const int lanes = W.x <= 4 ? 4 : 8;
    const int Wp = (W.x + lanes - 1) / lanes * lanes;
    if (F.x == 1 || Wp > F.x || N > MAX_BATCHED_MEMBERS || F.y > MAX_BATCHED_MEMBERS) {
        calculateVariancesReference<T>(N, B, F, W, E, G, K3fT3, localVar, variances, members, temp);
        return;
    }

    // Occupied rows (y, z): the slot of member i is rowOf[i], its column xOf[i].
    int rows[MAX_BATCHED_MEMBERS], rowOf[MAX_BATCHED_MEMBERS], xOf[MAX_BATCHED_MEMBERS];
    bool yOccupied[MAX_BATCHED_MEMBERS] = {};
    int rowCount = 0;
    std::memset(temp.planeMask, 0, static_cast<std::size_t>(F.y) * F.z * sizeof(bool));
    for (int i = 0; i < N; ++i) {
        Vec3<int>& p = members[i].relativePosition;
        p = {reduce(p.x, F.x), reduce(p.y, F.y), reduce(p.z, F.z)};
        const int row = p.y + F.y * p.z;
        temp.planeMask[row] = true;
        yOccupied[p.y] = true;
        int slot = 0;
        while (slot < rowCount && rows[slot] != row) ++slot;
        if (slot == rowCount) rows[rowCount++] = row;
        rowOf[i] = slot;
        xOf[i] = p.x;
    }
    // Members by row slot, each row's in increasing order.
    int rowStart[MAX_BATCHED_MEMBERS + 1] = {}, rowMembers[MAX_BATCHED_MEMBERS];
    for (int i = 0; i < N; ++i) ++rowStart[rowOf[i] + 1];
    for (int r = 0; r < rowCount; ++r) rowStart[r + 1] += rowStart[r];
    int filled[MAX_BATCHED_MEMBERS] = {};
    for (int i = 0; i < N; ++i) rowMembers[rowStart[rowOf[i]] + filled[rowOf[i]]++] = i;

    const int nB = B.x * B.y * B.z;
    const std::size_t plane = static_cast<std::size_t>(F.z) * F.y * Wp;
    const int capacity = std::min(temp.spectrumCube.size.w, 4);
    T* exactSum = temp.blockScratchC;
    for (int psi = 0; psi < nB; ++psi) exactSum[psi] = 0;
    for (int w0 = 0; w0 < E; w0 += capacity) {
        MapBatch batch;
        batch.F = F;
        batch.Wx = W.x;
        batch.Wp = Wp;
        batch.lanes = lanes;
        batch.count = std::min(capacity, E - w0);
        batch.N = N;
        batch.G = G;
        batch.w0 = w0;
        batch.rowStart = rowStart;
        batch.rowMembers = rowMembers;
        batch.xOf = xOf;
        batch.rows = rows;
        batch.rowCount = rowCount;
        batch.rowMask = temp.planeMask;
        batch.yOccupied = yOccupied;
        batch.planes = reinterpret_cast<float*>(temp.spectrumCube.data);
        transformMapBatch(batch);

        LayerWeights power;
        power.data = batch.planes;
        power.vectorStride = 2 * plane;
        power.count = batch.count;
        power.nx = W.x;
        power.ny = F.y;
        power.nz = F.z;
        power.sx = 1;
        power.sy = static_cast<std::size_t>(Wp);
        power.sz = static_cast<std::size_t>(F.y) * Wp;
        T* v = variances.data + static_cast<std::size_t>(nB) * w0;
        if (factored != nullptr && factored->B == B && factoredFits(*factored, power))
            factoredLayerSums(*factored, power, v);
        else
            stridedLayerSums(K3fT3, nB, power, v);
        for (int b = 0; b < batch.count; ++b) {
            for (int psi = 0; psi < nB; ++psi)
                exactSum[psi] += v[static_cast<std::size_t>(nB) * b + psi];
        }
    }
    shareRemainingVariance(N, E, nB, localVar, exactSum, variances);
}

template void weightedLayerSum<float>(const float*, const float*, int, int, std::size_t, float*);
template void weightedLayerSumReference<float>(const float*, const float*, int, int, std::size_t,
                                               float*);
template void shareRemainingVariance<float>(int, int, int, const float*, const float*,
                                            Cube4D<float>&);
template void calculateVariances<float>(int, const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                        int, const float*, const float*, const float*,
                                        Cube4D<float>&, BlockDistance<float>*, TempMemory<float>&,
                                        const FactoredNoise*);

} // namespace vexa
