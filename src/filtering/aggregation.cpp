#include "filtering/aggregation.h"

#include <algorithm>

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

} // namespace

template <class T>
void aggregateGroup(const BlockDistance<T>* members, int n, const T* estimates,
                    const T* blockVariances, const T* window, const Vec3<int>& blockSize,
                    ImageDataMutable<T>& output, ImageDataMutable<T>& weights) {
    const T floor = meanFloor(blockVariances, n);
    const int bx = blockSize.x, by = blockSize.y, bz = blockSize.z;
    const long blockCoefficients = static_cast<long>(bx) * by * bz;
    for (int j = 0; j < n; ++j) {
        const Vec3<int> p = members[j].position;
        checkInside(p, blockSize, output._size);
        checkInside(p, blockSize, weights._size);
        const T v = blockVariances[j];
        const T numeratorDivisor = std::max(T(1e-8f), v);
        const T denominatorDivisor = std::max(v, floor);
        const T* block = estimates + j * blockCoefficients;
        for (int z = 0; z < bz; ++z) {
            // A ring of weights holds whole slices of the last axis: a row
            // never crosses one, and on a volume the rows of one z share a
            // slice, so the ring's offset is found once per z.
            const long long first = weights.convertToIndex({p.x, p.y, p.z + z});
            const long long ringShift = weights.storageIndex(first) - first;
            for (int y = 0; y < by; ++y) {
                const int row = bx * (y + by * z);
                const T* __restrict e = block + row;
                const T* __restrict w = window + row;
                T* __restrict o = output._data + output.convertToIndex({p.x, p.y + y, p.z + z});
                const long long at = weights.convertToIndex({p.x, p.y + y, p.z + z});
                T* __restrict d = weights._data + (weights._size.z > 1 ? at + ringShift
                                                                       : weights.storageIndex(at));
                for (int x = 0; x < bx; ++x) o[x] += (e[x] * w[x]) / numeratorDivisor;
                for (int x = 0; x < bx; ++x) d[x] += w[x] / denominatorDivisor;
            }
        }
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
