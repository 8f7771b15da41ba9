#include "blocks/block_collection.h"

#include <algorithm>
#include <climits>
#include <type_traits>

#include "blocks/block_transforms.h"
#include "core/check.h"
#include "core/sizes.h"

// The job rings: a box of block origins that slides with the search window
// and extracts only the origins it gains.

namespace vexa {

Vec3<int> windowCapacity(const Vec3<int>& imageSize, const Vec3<int>& blockSize,
                         const bool windowed[3], const Vec3<int>& searchRadius,
                         const Vec3<int>& maxShift) {
    Vec3<int> c{0, 0, 0};
    for (int a = 0; a < 3; ++a) {
        const long long origins =
            std::max(component(imageSize, a) - component(blockSize, a), 0) + 1LL;
        const long long need = 2LL * component(searchRadius, a) + 1 + component(maxShift, a);
        componentRef(c, a) = static_cast<int>(windowed[a] ? std::min(origins, need) : origins);
    }
    return c;
}

template <class T>
bool BlockCollection<T>::allocateRing(const Vec3<int>& capacity, const Vec3<int>& blockSize) {
    VEXA_CHECK(capacity.x > 0 && capacity.y > 0 && capacity.z > 0, "blockCount > 0");
    long long count = 0, floats = 0;
    const bool fits = checkedProduct({capacity.x, capacity.y, capacity.z}, count, LONG_MAX);
    const bool blockFits = checkedProduct({blockSize.x, blockSize.y, blockSize.z}, floats);
    VEXA_CHECK(blockFits && floats > 0,
               "totalBlockSize == blockSize.x * blockSize.y * blockSize.z");
    long total = 0;
    if (!allocate(fits ? static_cast<long>(count) : LONG_MAX, static_cast<long>(floats), total))
        return false;
    _bufferRange = capacity;
    _bufferStart = {0, 0, 0};
    hasData = false;
    return true;
}

template <class T>
void BlockCollection<T>::extractBox(const ImageData<T>& image, const Vec3<int>& first,
                                    const Vec3<int>& last, const Vec3<int>& blockSize,
                                    const Vec3<const T*>& transforms,
                                    const Vec3<TransformsMetas::StandardTransform>& kinds,
                                    TempMemory<T>& temp) {
    if (first.x > last.x || first.y > last.y || first.z > last.z) return;
    if constexpr (std::is_same<T, float>::value) {
        if (transformRegion(image._data, image._size, first, last - first + Vec3<int>{1, 1, 1},
                            transforms, kinds, blockSize, data, totalBlockSize, _bufferRange))
            return;
    }
    const int bx = blockSize.x, by = blockSize.y, bz = blockSize.z;
    const std::ptrdiff_t rowStride = image._size.x, sliceStride = image._sliceSize;
    for (int z = first.z; z <= last.z; ++z)
        for (int y = first.y; y <= last.y; ++y)
            for (int x = first.x; x <= last.x; ++x) {
                T* dst = data + slotIndex({x, y, z}, _bufferRange) * totalBlockSize;
                const T* origin = image._data + x + y * rowStride + z * sliceStride;
                T* out = dst;
                for (int k = 0; k < bz; ++k)
                    for (int j = 0; j < by; ++j) {
                        const T* src = origin + k * sliceStride + j * rowStride;
                        for (int i = 0; i < bx; ++i) *out++ = src[i];
                    }
                transf3D(dst, transforms, kinds, temp.blockScratchA, temp.blockScratchB, dst,
                         blockSize);
            }
}

template <class T>
void BlockCollection<T>::coverWindow(const ImageData<T>& image, const Vec3<int>& needLo,
                                     const Vec3<int>& needHi, const Vec3<int>& slack,
                                     const Vec3<int>& maxPos, const Vec3<int>& blockSize,
                                     const Vec3<const T*>& transforms,
                                     const Vec3<TransformsMetas::StandardTransform>& kinds,
                                     TempMemory<T>& temp) {
    VEXA_CHECK(data != nullptr, "collHTWie->getHasData()");
    const Vec3<int> oldLo = _bufferStart;
    const Vec3<int> oldHi = _bufferStart + _bufferRange - Vec3<int>{1, 1, 1};
    bool inside = hasData;
    Vec3<int> lo = oldLo;
    for (int a = 0; a < 3; ++a) {
        const int range = component(_bufferRange, a);
        VEXA_CHECK(component(needLo, a) >= 0 && component(needHi, a) <= component(maxPos, a) &&
                       component(needHi, a) - component(needLo, a) < range,
                   "the needed origins fit the ring");
        if (hasData && component(needLo, a) >= component(oldLo, a) &&
            component(needHi, a) <= component(oldHi, a))
            continue;
        inside = false;
        const int top = std::max(component(maxPos, a) - range + 1, 0);
        componentRef(lo, a) =
            std::min(std::max(component(needLo, a) - component(slack, a), 0), top);
    }
    if (inside) return;
    const Vec3<int> hi = lo + _bufferRange - Vec3<int>{1, 1, 1};
    const Vec3<int> top{std::min(hi.x, maxPos.x), std::min(hi.y, maxPos.y),
                        std::min(hi.z, maxPos.z)};
    // Only the origins the old box did not hold: the new box minus the old one
    // is cut into at most six boxes, slabs along z, then y, then x.
    Vec3<int> rest[2] = {lo, top};
    bool open = true;
    for (int a = 2; a >= 0 && open; --a) {
        const int from = component(rest[0], a), to = component(rest[1], a);
        const int heldLo = hasData ? component(oldLo, a) : to + 1;
        const int heldHi = hasData ? component(oldHi, a) : to;
        Vec3<int> part[2] = {rest[0], rest[1]};
        if (from < heldLo) {
            componentRef(part[1], a) = std::min(to, heldLo - 1);
            extractBox(image, part[0], part[1], blockSize, transforms, kinds, temp);
        }
        if (to > heldHi) {
            componentRef(part[0], a) = std::max(from, heldHi + 1);
            componentRef(part[1], a) = to;
            extractBox(image, part[0], part[1], blockSize, transforms, kinds, temp);
        }
        componentRef(rest[0], a) = std::max(from, heldLo);
        componentRef(rest[1], a) = std::min(to, heldHi);
        open = component(rest[0], a) <= component(rest[1], a);
    }
    _bufferStart = lo;
    hasData = true;
}

template <class T>
constexpr long kLineCoefficients = 64 / static_cast<long>(sizeof(T));

template <class T>
void BlockCollection<T>::prefetch(const Vec3<int>& first, const Vec3<int>& last) const {
    if (!hasData || data == nullptr) return;
    const Vec3<int> lo{std::max(first.x, _bufferStart.x), std::max(first.y, _bufferStart.y),
                       std::max(first.z, _bufferStart.z)};
    const Vec3<int> hi{std::min(last.x, _bufferStart.x + _bufferRange.x - 1),
                       std::min(last.y, _bufferStart.y + _bufferRange.y - 1),
                       std::min(last.z, _bufferStart.z + _bufferRange.z - 1)};
    if (lo.x > hi.x || lo.y > hi.y || lo.z > hi.z) return;
    for (int z = lo.z; z <= hi.z; ++z)
        for (int y = lo.y; y <= hi.y; ++y) {
            // One slot lookup per row; along x the slot index only wraps.
            const long rowBase = slotIndex({0, y, z}, _bufferRange);
            int x = lo.x % _bufferRange.x;
            for (int n = lo.x; n <= hi.x; ++n) {
                // Whole blocks: with the distance bias most candidates are
                // summed to their last coefficient.
                const T* block = data + (rowBase + x) * totalBlockSize;
                for (long i = 0; i < totalBlockSize; i += kLineCoefficients<T>)
                    __builtin_prefetch(block + i, 0, 2);
                if (++x == _bufferRange.x) x = 0;
            }
        }
}

template bool BlockCollection<float>::allocateRing(const Vec3<int>&, const Vec3<int>&);
template void BlockCollection<float>::extractBox(const ImageData<float>&, const Vec3<int>&,
                                                 const Vec3<int>&, const Vec3<int>&,
                                                 const Vec3<const float*>&,
                                                 const Vec3<TransformsMetas::StandardTransform>&,
                                                 TempMemory<float>&);
template void BlockCollection<float>::coverWindow(const ImageData<float>&, const Vec3<int>&,
                                                  const Vec3<int>&, const Vec3<int>&,
                                                  const Vec3<int>&, const Vec3<int>&,
                                                  const Vec3<const float*>&,
                                                  const Vec3<TransformsMetas::StandardTransform>&,
                                                  TempMemory<float>&);
template void BlockCollection<float>::prefetch(const Vec3<int>&, const Vec3<int>&) const;

} // namespace vexa
