#include "filtering/aggregation.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/check.h"

namespace vexa {
namespace {

template <class T>
T meanFloor(const T* blockVariances, int n) {
    T sum = T(0);
    for (int j = 0; j < n; ++j) sum += blockVariances[j];
    const T mean = sum / static_cast<T>(n);
    return std::max(T(1e-8f), T(1e-4f) * mean);
}

// A stored or matched position outside the volume would write outside both
// accumulation volumes.
inline void checkInside(const Vec3<int>& p, const Vec3<int>& blockSize, const Vec3<int>& size) {
    VEXA_CHECK(p.x >= 0 && p.y >= 0 && p.z >= 0 && p.x + blockSize.x <= size.x &&
                   p.y + blockSize.y <= size.y && p.z + blockSize.z <= size.z,
               "member position + blockSize <= imageSize");
}

#if defined(__GNUC__)
typedef float Float4 __attribute__((vector_size(16)));
#endif

// o += e * w / numeratorDivisor and d += w / denominatorDivisor along one
// row, element by element with the same roundings however it is split.
template <int BX, class T>
inline void addRow(const T* __restrict e, const T* __restrict w, T* __restrict o, T* __restrict d,
                   int bx, T numeratorDivisor, T denominatorDivisor) {
#if defined(__GNUC__)
    // Fixed widths: whole vectors of four, then single lanes (left to itself
    // the compiler unrolls a short row into scalar divisions).
    if constexpr (BX >= 4 && std::is_same<T, float>::value) {
        int x = 0;
        for (; x + 4 <= BX; x += 4) {
            Float4 ev, wv, ov, dv;
            std::memcpy(&ev, e + x, sizeof ev);
            std::memcpy(&wv, w + x, sizeof wv);
            std::memcpy(&ov, o + x, sizeof ov);
            std::memcpy(&dv, d + x, sizeof dv);
            ov += (ev * wv) / numeratorDivisor;
            dv += wv / denominatorDivisor;
            std::memcpy(o + x, &ov, sizeof ov);
            std::memcpy(d + x, &dv, sizeof dv);
        }
        for (; x < BX; ++x) {
            o[x] += (e[x] * w[x]) / numeratorDivisor;
            d[x] += w[x] / denominatorDivisor;
        }
        return;
    }
#endif
    for (int x = 0; x < bx; ++x) o[x] += (e[x] * w[x]) / numeratorDivisor;
    for (int x = 0; x < bx; ++x) d[x] += w[x] / denominatorDivisor;
}

// The members' rows with the block width BX known at compile time (0: taken
// from blockSize), so a row is one straight run of vector operations.
template <int BX, class T>
void aggregateMembers(const BlockDistance<T>* members, int n, const T* estimates,
                      const T* blockVariances, const T* window, const Vec3<int>& blockSize,
                      ImageDataMutable<T>& output, ImageDataMutable<T>& weights) {
    const T floor = meanFloor(blockVariances, n);
    const int bx = BX > 0 ? BX : blockSize.x, by = blockSize.y, bz = blockSize.z;
    const long blockCoefficients = static_cast<long>(bx) * by * bz;
    const long rowStride = output._size.x, sliceStride = output._sliceSize;
    const long weightRowStride = weights._size.x;
    for (int j = 0; j < n; ++j) {
        const Vec3<int> p = members[j].position;
        checkInside(p, blockSize, output._size);
        checkInside(p, blockSize, weights._size);
        const T v = blockVariances[j];
        const T numeratorDivisor = std::max(T(1e-8f), v);
        const T denominatorDivisor = std::max(v, floor);
        const T* __restrict e = estimates + j * blockCoefficients;
        const T* __restrict w = window;
        T* const outCorner = output._data + output.convertToIndex(p);
        for (int z = 0; z < bz; ++z) {
            T* __restrict o = outCorner + z * sliceStride;
            // A ring of weights holds whole slices of the last axis: a row
            // never crosses one, and on a volume the rows of one z share a
            // slice, so the ring's place is found once per z.
            const long long first = weights.convertToIndex({p.x, p.y, p.z + z});
            T* __restrict d = weights._data + weights.storageIndex(first);
            for (int y = 0; y < by; ++y) {
                if (weights._size.z == 1 && y > 0)
                    d = weights._data + weights.storageIndex(first + y * weightRowStride);
                addRow<BX>(e, w, o, d, bx, numeratorDivisor, denominatorDivisor);
                e += bx;
                w += bx;
                o += rowStride;
                d += weightRowStride;
            }
        }
    }
}

} // namespace

template <class T>
void aggregateGroup(const BlockDistance<T>* members, int n, const T* estimates,
                    const T* blockVariances, const T* window, const Vec3<int>& blockSize,
                    ImageDataMutable<T>& output, ImageDataMutable<T>& weights) {
    switch (blockSize.x) {
    case 4:
        return aggregateMembers<4>(members, n, estimates, blockVariances, window, blockSize, output,
                                   weights);
    case 6:
        return aggregateMembers<6>(members, n, estimates, blockVariances, window, blockSize, output,
                                   weights);
    case 8:
        return aggregateMembers<8>(members, n, estimates, blockVariances, window, blockSize, output,
                                   weights);
    default:
        return aggregateMembers<0>(members, n, estimates, blockVariances, window, blockSize, output,
                                   weights);
    }
}

template <class T>
void aggregateGroupReference(const BlockDistance<T>* members, int n, const T* estimates,
                             const T* blockVariances, const T* window, const Vec3<int>& blockSize,
                             ImageDataMutable<T>& output, ImageDataMutable<T>& weights) {
    const T floor = meanFloor(blockVariances, n);
    const int blockCoefficients = blockSize.volume();
    for (int j = 0; j < n; ++j) {
        const Vec3<int> p = members[j].position;
        checkInside(p, blockSize, output._size);
        checkInside(p, blockSize, weights._size);
        const T v = blockVariances[j];
        for (int z = 0; z < blockSize.z; ++z)
            for (int y = 0; y < blockSize.y; ++y)
                for (int x = 0; x < blockSize.x; ++x) {
                    const int i = x + blockSize.x * (y + blockSize.y * z);
                    const Vec3<int> at{p.x + x, p.y + y, p.z + z};
                    output._data[output.convertToIndex(at)] +=
                        (estimates[j * blockCoefficients + i] * window[i]) / std::max(T(1e-8f), v);
                }
        for (int z = 0; z < blockSize.z; ++z)
            for (int y = 0; y < blockSize.y; ++y)
                for (int x = 0; x < blockSize.x; ++x) {
                    const int i = x + blockSize.x * (y + blockSize.y * z);
                    const Vec3<int> at{p.x + x, p.y + y, p.z + z};
                    weights._data[weights.storageIndex(weights.convertToIndex(at))] +=
                        window[i] / std::max(v, floor);
                }
    }
}

template void aggregateGroup<float>(const BlockDistance<float>*, int, const float*, const float*,
                                    const float*, const Vec3<int>&, ImageDataMutable<float>&,
                                    ImageDataMutable<float>&);
template void aggregateGroupReference<float>(const BlockDistance<float>*, int, const float*,
                                             const float*, const float*, const Vec3<int>&,
                                             ImageDataMutable<float>&, ImageDataMutable<float>&);

} // namespace vexa
