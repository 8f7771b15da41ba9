#include "core/memory.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "core/allocator.h"
#include "core/sizes.h"

namespace vexa {
namespace {

// cMalloc of count elements; a zero count still gets a real buffer so that a
// null result always means failure.
template <class E>
E* allocElements(long long count) {
    const std::size_t n = static_cast<std::size_t>(count > 0 ? count : 1);
    return static_cast<E*>(cMalloc(n * sizeof(E)));
}

} // namespace

int workingWidthX(const Parameters& params) {
    const Vec3<int>& r = params.psdResampleSize;
    if (params.psdSymmetry && r.x == r.y && (r.z == r.x || r.z == 1)) {
        const int folded = static_cast<int>(static_cast<double>(ceilf(r.x * 0.5f + 1.0f)) + 1e-5);
        // Tiny grids (x <= 2) would fold wider than they are.
        if (folded < r.x) return folded;
    }
    return r.x;
}

Vec3<int> workingSize(const Parameters& params) {
    Vec3<int> w = params.psdResampleSize;
    w.x = workingWidthX(params);
    return w;
}

template <class T>
Memory<T>::~Memory() {
    delete[] matches;
    cFree(group.data);
    cFree(noisyGroup.data);
    cFree(estimates.data);
    cFree(variances.data);
    cFree(blockVariances);
}

template <class T>
void Memory<T>::swap(Memory& o) noexcept {
    using std::swap;
    swap(matches, o.matches);
    swap(group, o.group);
    swap(noisyGroup, o.noisyGroup);
    swap(estimates, o.estimates);
    swap(variances, o.variances);
    swap(blockVariances, o.blockVariances);
    swap(stackSize, o.stackSize);
    swap(workSize, o.workSize);
    swap(valid, o.valid);
}

template <class T>
TempMemory<T>::~TempMemory() {
    cFree(spectrumCube.data);
    cFree(planeCube.data);
    cFree(planeMask);
    cFree(blockScratchA);
    cFree(blockScratchB);
    cFree(fftLinesA);
    cFree(fftLinesB);
    cFree(memberScratch);
    cFree(blockScratchC);
}

template <class T>
void TempMemory<T>::swap(TempMemory& o) noexcept {
    using std::swap;
    swap(fftLinesA, o.fftLinesA);
    swap(fftLinesB, o.fftLinesB);
    swap(memberScratch, o.memberScratch);
    swap(spectrumCube, o.spectrumCube);
    swap(planeCube, o.planeCube);
    swap(planeMask, o.planeMask);
    swap(blockScratchA, o.blockScratchA);
    swap(blockScratchB, o.blockScratchB);
    swap(blockScratchC, o.blockScratchC);
    swap(maxDim, o.maxDim);
    swap(valid, o.valid);
}

template <class T>
Memory<T> allocateMemory(const Parameters& params) {
    Memory<T> m;
    m.workSize = workingSize(params);
    const Vec3<int>& b = params.blockSize;
    const int g = params.maxGroupSize;
    long long cubeCount = 0;
    // Sizes that do not fit an int index are refused before anything is allocated.
    if (!checkedProduct({b.x, b.y, b.z, g}, cubeCount)) return m;

    const Vec4i dims{b.x, b.y, b.z, g};
    m.group.size = m.noisyGroup.size = m.estimates.size = m.variances.size = dims;
    m.matches = new (std::nothrow) BlockDistance<T>[static_cast<std::size_t>(g > 0 ? g : 1)];
    m.group.data = allocElements<T>(cubeCount);
    m.noisyGroup.data = allocElements<T>(cubeCount);
    m.estimates.data = allocElements<T>(cubeCount);
    m.variances.data = allocElements<T>(cubeCount);
    m.blockVariances = allocElements<T>(g);
    m.valid = m.matches && m.group.data && m.noisyGroup.data && m.estimates.data &&
              m.variances.data && m.blockVariances;
    return m;
}

template <class T>
TempMemory<T> createTempMemory(const Parameters& params) {
    TempMemory<T> t;
    const Vec3<int>& r = params.psdResampleSize;
    const Vec3<int>& b = params.blockSize;
    const int g = params.maxGroupSize;
    const int nx = workingWidthX(params);
    t.maxDim = std::max(r.x, std::max(r.y, r.z));
    const int lines = std::max(2, params.varianceGroupSize);

    long long planeCount = 0, spectrumCount = 0, maskCount = 0, blockCount = 0, lineCount = 0,
              memberCount = 0;
    // Sizes that do not fit an int index are refused before anything is allocated.
    if (!checkedProduct({r.z, r.y, nx, g}, planeCount) ||
        !checkedProduct({r.x, r.y, r.z, g}, spectrumCount) ||
        !checkedProduct({r.z, r.y}, maskCount) || !checkedProduct({b.x, b.y, b.z}, blockCount) ||
        !checkedProduct({lines, t.maxDim}, lineCount) || !checkedProduct({g}, memberCount))
        return t;

    t.planeCube.size = Vec4i{r.z, r.y, nx, g};
    t.spectrumCube.size = Vec4i{r.x, r.y, r.z, g};
    t.planeCube.data = allocElements<T>(planeCount);
    t.spectrumCube.data = allocElements<Complex>(spectrumCount);
    t.planeMask = allocElements<bool>(maskCount);
    t.blockScratchA = allocElements<T>(blockCount);
    t.blockScratchB = allocElements<T>(blockCount);
    t.fftLinesA = allocElements<Complex>(lineCount);
    t.fftLinesB = allocElements<Complex>(lineCount);
    t.memberScratch = allocElements<T>(memberCount);
    t.blockScratchC = allocElements<T>(blockCount);
    t.valid = t.planeCube.data && t.spectrumCube.data && t.planeMask && t.blockScratchA &&
              t.blockScratchB && t.fftLinesA && t.fftLinesB && t.memberScratch && t.blockScratchC;
    return t;
}

template struct Memory<float>;
template struct TempMemory<float>;
template Memory<float> allocateMemory<float>(const Parameters&);
template TempMemory<float> createTempMemory<float>(const Parameters&);

} // namespace vexa
