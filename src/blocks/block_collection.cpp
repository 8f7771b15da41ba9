#include "blocks/block_collection.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "blocks/block_transforms.h"
#include "core/allocator.h"
#include "core/check.h"
#include "core/complex.h"
#include "core/report.h"
#include "core/sizes.h"
#include "threading/thread_pool.h"
#include "transforms/transform_tables.h"

namespace vexa {
namespace {

const char* const kAllocationAdvice =
    "Failed to allocate block memory! \n"
    "If profile.split_block_extraction is set to [False, False, False], this is likely fixed by \n"
    "setting the value to [False, False, True] or, if still failing, [False, True, True]. \n"
    "pro = VEXAProfile(); pro.split_block_extraction = [False, False, True]; y_est = vexa(z, psd, "
    "pro);";

// Zero-filled buffer from the C allocator, released when it leaves scope.
template <class T>
struct ScratchBuffer {
    T* ptr;
    explicit ScratchBuffer(long n) : ptr(static_cast<T*>(cMalloc(sizeof(T) * (n > 0 ? n : 1)))) {
        if (ptr)
            for (long i = 0; i < n; ++i) ptr[i] = T{};
    }
    ~ScratchBuffer() { cFree(ptr); }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
};

// True when the box holds every origin that block matching may ask for around
// p: the search window of p and of references up to two origins below it.
template <class T>
bool coversWindow(const BlockCollection<T>& c, const Vec3<int>& p, const Vec3<int>& boxRadius,
                  const Vec3<int>& maxPos) {
    for (int a = 0; a < 3; ++a) {
        const long long pa = component(p, a), r = component(boxRadius, a) - 1LL;
        const long long lo = std::max<long long>(0, pa - r - 2);
        const long long hi = std::min<long long>(component(maxPos, a), pa + r);
        const long long start = component(c._bufferStart, a);
        const long long last = start + component(c._bufferRange, a) - 1;
        if (lo < start || hi > last) return false;
    }
    return true;
}

} // namespace

template <class T>
BlockCollection<T>::~BlockCollection() {
    cFree(data);
    data = nullptr;
}

template <class T>
T* BlockCollection<T>::allocate(long count, long blockFloats, long& total) {
    blockCount = count;
    totalBlockSize = blockFloats;
    long long elements = 0;
    // A size that does not fit a long (32 bits on Windows) or size_t is an
    // allocation failure, never a wrapped size.
    const bool fits = checkedProduct({count, blockFloats}, elements, LONG_MAX) &&
                      static_cast<unsigned long long>(elements) <= SIZE_MAX / sizeof(T);
    total = fits ? static_cast<long>(elements) : 0;
    // The old contents are never kept, so the old buffer goes first.
    cFree(data);
    data = nullptr;
    void* p = nullptr;
    if (fits) {
        const std::size_t bytes = static_cast<std::size_t>(elements > 0 ? elements : 1) * sizeof(T);
        p = cMalloc(bytes);
    }
    if (!p) {
        hasData = false;
        reportFailure(Status::OutOfMemory, kAllocationAdvice);
        return nullptr;
    }
    // cMalloc starts the buffer, so every slot of a whole number of lines, on
    // a cache line: a block of 64 floats is four lines, its first quarter one.
    data = static_cast<T*>(p);
    return data;
}

template <class T>
T* BlockCollection<T>::allocate(const Vec3<int>& imageSize, const Vec3<int>& blockSize,
                                const Vec3<int>& boxRadius) {
    VEXA_CHECK(blockSize.x <= imageSize.x && blockSize.y <= imageSize.y &&
                   blockSize.z <= imageSize.z,
               "blockSize.x <= imageSize.x && blockSize.y <= imageSize.y && "
               "blockSize.z <= imageSize.z");
    auto slots = [](int image, int block, int radius) {
        const long long windowed = 2LL * radius + 2;
        const long long whole = static_cast<long long>(image) - block;
        return (whole < windowed ? whole : windowed) + 1;
    };
    const long long nx = slots(imageSize.x, blockSize.x, boxRadius.x);
    const long long ny = slots(imageSize.y, blockSize.y, boxRadius.y);
    const long long nz = slots(imageSize.z, blockSize.z, boxRadius.z);
    VEXA_CHECK(nx > 0 && ny > 0 && nz > 0, "blockCount > 0");
    long long count = 0;
    const bool fits = checkedProduct({nx, ny, nz}, count, LONG_MAX);
    long long floats = 0;
    const bool blockFits = checkedProduct({blockSize.x, blockSize.y, blockSize.z}, floats);
    VEXA_CHECK(blockFits && floats > 0,
               "totalBlockSize == blockSize.x * blockSize.y * blockSize.z");
    long total = 0;
    // An unrepresentable count is reported like any failed allocation.
    return allocate(fits ? static_cast<long>(count) : LONG_MAX, static_cast<long>(floats), total);
}

template <class T>
const T* BlockCollection<T>::getBlock(const Vec3<int>& coords) const {
    // Every component is checked: a block outside the box would silently
    // alias another slot of the ring.
    VEXA_CHECK(coords.x >= _bufferStart.x && coords.y >= _bufferStart.y &&
                   coords.z >= _bufferStart.z,
               "coords >= _bufferStart");
    VEXA_CHECK(coords.x < _bufferStart.x + _bufferRange.x &&
                   coords.y < _bufferStart.y + _bufferRange.y &&
                   coords.z < _bufferStart.z + _bufferRange.z,
               "coords < _bufferStart + _bufferRange");
    return data + slotIndex(coords, _bufferRange) * totalBlockSize;
}

template <class T>
bool BlockCollection<T>::extractInitial(const ImageData<T>& image, const Vec3<int>& pos,
                                        const Vec3<int>& blockSize,
                                        const Vec3<const T*>& transforms,
                                        const Vec3<TransformsMetas::StandardTransform>& kinds,
                                        bool doAllocate, TempMemory<T>& temp,
                                        const Vec3<int>& boxRadius) {
    const Vec3<int>& size = image._size;
    VEXA_CHECK(pos.x >= 0 && pos.y >= 0 && pos.z >= 0, "pos.x >= 0 && pos.y >= 0 && pos.z >= 0");
    VEXA_CHECK(blockSize.x <= size.x && blockSize.y <= size.y && blockSize.z <= size.z,
               "blockSize.x <= size.x && blockSize.y <= size.y && blockSize.z <= size.z");
    auto place = [](int p, int radius, int extent, int block, int& start, int& end) {
        const long long s = static_cast<long long>(p) - radius - 1;
        start = static_cast<int>(std::min<long long>(std::max<long long>(s, 0), extent - 1));
        end = static_cast<int>(
            std::min<long long>(static_cast<long long>(start) + 2LL * radius + 2, extent - block));
    };
    Vec3<int> start{0, 0, 0}, end{0, 0, 0};
    place(pos.x, boxRadius.x, size.x, blockSize.x, start.x, end.x);
    place(pos.y, boxRadius.y, size.y, blockSize.y, start.y, end.y);
    place(pos.z, boxRadius.z, size.z, blockSize.z, start.z, end.z);
    VEXA_CHECK(start >= 0, "start >= 0");
    VEXA_CHECK(end.x + blockSize.x <= size.x && end.y + blockSize.y <= size.y &&
                   end.z + blockSize.z <= size.z,
               "end + blockSize <= size");
    const Vec3<int> range = end - start + Vec3<int>{1, 1, 1};
    long long count = 0;
    // Every component must be positive: two negative ones give a positive product.
    VEXA_CHECK(range.x > 0 && range.y > 0 && range.z > 0 &&
                   checkedProduct({range.x, range.y, range.z}, count, LONG_MAX),
               "blockCount > 0");

    _bufferStart = start;
    _bufferRange = range;
    const long floats = static_cast<long>(blockSize.x) * blockSize.y * blockSize.z;
    if (doAllocate) {
        long total = 0;
        allocate(static_cast<long>(count), floats, total);
    }
    if (!data) return false;
    // A buffer sized for a smaller box must never be written past its end.
    VEXA_CHECK(count <= blockCount && floats == totalBlockSize,
               "_bufferRange.x * _bufferRange.y * _bufferRange.z <= blockCount");

    // Copy on the calling thread; the checks above keep every sample inside the volume.
    const int bx = blockSize.x, by = blockSize.y, bz = blockSize.z;
    const long rowStride = size.x, sliceStride = image._sliceSize;
    for (int z = start.z; z <= end.z; ++z)
        for (int y = start.y; y <= end.y; ++y)
            for (int x = start.x; x <= end.x; ++x) {
                T* dst = data + slotIndex({x, y, z}, range) * totalBlockSize;
                const T* origin = image._data + image.convertToIndex({x, y, z});
                for (int k = 0; k < bz; ++k)
                    for (int j = 0; j < by; ++j) {
                        const T* src = origin + k * sliceStride + j * rowStride;
                        for (int i = 0; i < bx; ++i) *dst++ = src[i];
                    }
            }

    ThreadPool& pool = ThreadPool::THREAD_POOL;
    const long n = pool.getNumThreads();
    const long slots = static_cast<long>(count);
    // Integer ceiling: a float quotient drops slots once count passes 2^24.
    const long chunk = n > 0 ? (slots + n - 1) / n : 0;
    std::atomic<bool> scratchFailed{false};
    pool.newLoopJob([&](int t) {
        const long first = t * chunk;
        const long last = std::min(first + chunk, slots);
        if (first >= last) return;
        ScratchBuffer<T> a(totalBlockSize), b(totalBlockSize);
        if (!a.ptr || !b.ptr) {
            scratchFailed = true;
            return;
        }
        for (long s = first; s < last; ++s) {
            T* slot = data + s * totalBlockSize;
            transf3D(slot, transforms, kinds, a.ptr, b.ptr, slot, blockSize);
        }
    });
    if (scratchFailed) {
        // Some slots still hold raw samples: the box is unusable until extracted again.
        hasData = false;
        return false;
    }
    hasData = true;
    return true;
}

template <class T>
void BlockCollection<T>::moveInImage(const ImageData<T>& image, const Vec3<int>& move,
                                     const Vec3<int>& blockSize, const Vec3<const T*>& transforms,
                                     TempMemory<T>& temp) {
    VEXA_CHECK(move.x >= 0 && move.y >= 0 && move.z >= 0,
               "move.x >= 0 && move.y >= 0 && move.z >= 0");
    if (!data) return;
    const Vec3<int>& size = image._size;
    auto bounds = [](int start, int range, int m, int extent, int block, int& lo, int& hi) {
        if (m != 0) {
            lo = start + range;
            hi = std::min(lo + m, extent - block + 1);
        } else {
            // A box slid past the end holds origins beyond the last one; never read those.
            lo = start;
            hi = std::min(start + range, extent - block + 1);
        }
    };
    Vec3<int> lo{0, 0, 0}, hi{0, 0, 0};
    bounds(_bufferStart.x, _bufferRange.x, move.x, size.x, blockSize.x, lo.x, hi.x);
    bounds(_bufferStart.y, _bufferRange.y, move.y, size.y, blockSize.y, lo.y, hi.y);
    bounds(_bufferStart.z, _bufferRange.z, move.z, size.z, blockSize.z, lo.z, hi.z);
    for (int z = lo.z; z < hi.z; ++z)
        for (int y = lo.y; y < hi.y; ++y)
            for (int x = lo.x; x < hi.x; ++x)
                image.extractBlock({x, y, z}, blockSize, transforms,
                                   data + slotIndex({x, y, z}, _bufferRange) * totalBlockSize,
                                   temp);
    _bufferStart = _bufferStart + move;
}

template <class T>
void ImageData<T>::extractBlock(const Vec3<int>& pos, const Vec3<int>& blockSize,
                                const Vec3<const T*>& transforms, T* out,
                                TempMemory<T>& temp) const {
    VEXA_CHECK(temp.blockScratchA != nullptr && temp.blockScratchB != nullptr,
               "temp.blockScratchA != nullptr && temp.blockScratchB != nullptr");
    const int bx = blockSize.x, by = blockSize.y;
    for (int z = 0; z < blockSize.z; ++z)
        for (int y = 0; y < by; ++y)
            for (int x = 0; x < bx; ++x)
                out[z * bx * by + y * bx + x] = at({pos.x + x, pos.y + y, pos.z + z});
    transf3D(out, transforms, ARB_TRANSFORMS, temp.blockScratchA, temp.blockScratchB, out,
             blockSize);
}

template <StageName S, class T>
void moveCollections(const Vec3<int>& pos, const Vec3<int>& move, const Vec3<int>& boxRadius,
                     const Vec3<int>& blockSize, const Vec3<const T*>& transforms,
                     TempMemory<T>& temp, const ImageData<T>& image, const ImageData<T>* image2,
                     const Vec3<TransformsMetas::StandardTransform>& kinds,
                     BlockCollection<T>* collHTWie, BlockCollection<T>* collWie) {
    constexpr bool both = S == Wie;
    VEXA_CHECK(collHTWie != nullptr, "collHTWie != nullptr");
    if (both) {
        VEXA_CHECK(image2 != nullptr && collWie != nullptr,
                   "image2 != nullptr && collWie != nullptr");
    }
    const Vec3<int>& size = image._size;

    int sliding = -1;
    for (int a = 0; a < 3 && sliding < 0; ++a)
        if (2LL * component(boxRadius, a) + 1 < component(size, a)) sliding = a;
    if (sliding < 0) {
        VEXA_CHECK(collHTWie->getHasData(), "collHTWie->getHasData()");
        return;
    }

    // The walk visits positions past the last block origin; the box is placed
    // for the clamped one, where the reference is filtered.
    const Vec3<int> maxPos{std::max(size.x - blockSize.x, 0), std::max(size.y - blockSize.y, 0),
                           std::max(size.z - blockSize.z, 0)};
    const Vec3<int> p{std::min(std::max(pos.x, 0), maxPos.x),
                      std::min(std::max(pos.y, 0), maxPos.y),
                      std::min(std::max(pos.z, 0), maxPos.z)};
    auto extract = [&] {
        bool ok = collHTWie->extractInitial(image, p, blockSize, transforms, kinds, false, temp,
                                            boxRadius);
        if (both)
            ok = collWie->extractInitial(*image2, p, blockSize, transforms, kinds, false, temp,
                                         boxRadius) &&
                 ok;
        if (!ok) {
            reportFailure(Status::OutOfMemory, "Failed to allocate block memory");
            VEXA_CHECK(false, "collHTWie->getHasData()");
        }
    };

    if (!collHTWie->getHasData() || (sliding == 0 && move.y != 0) ||
        (sliding == 1 && move.z != 0)) {
        extract();
        return;
    }

    const bool boxMoves = sliding == 0   ? (move.x != 0 || move.z != 0)
                          : sliding == 1 ? move.y != 0
                                         : move.z != 0;
    if (boxMoves) {
        bool interior = true;
        for (int a = 0; a < 3; ++a) {
            if (component(move, a) == 0) continue;
            const int pa = component(pos, a), ra = component(boxRadius, a);
            if (!(ra + 1 < pa && pa <= component(size, a) - ra)) interior = false;
        }
        if (interior) {
            collHTWie->moveInImage(image, move, blockSize, transforms, temp);
            if (both) collWie->moveInImage(*image2, move, blockSize, transforms, temp);
        }
    }

    // Sliding by whole steps can leave the box start above the search window
    // (first move past the lower clamp, clamped positions): place it afresh.
    if (!coversWindow(*collHTWie, p, boxRadius, maxPos)) extract();
}

template struct BlockCollection<float>;
template void ImageData<float>::extractBlock(const Vec3<int>&, const Vec3<int>&,
                                             const Vec3<const float*>&, float*,
                                             TempMemory<float>&) const;
template void moveCollections<HT, float>(const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                         const Vec3<int>&, const Vec3<const float*>&,
                                         TempMemory<float>&, const ImageData<float>&,
                                         const ImageData<float>*,
                                         const Vec3<TransformsMetas::StandardTransform>&,
                                         BlockCollection<float>*, BlockCollection<float>*);
template void moveCollections<Wie, float>(const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                          const Vec3<int>&, const Vec3<const float*>&,
                                          TempMemory<float>&, const ImageData<float>&,
                                          const ImageData<float>*,
                                          const Vec3<TransformsMetas::StandardTransform>&,
                                          BlockCollection<float>*, BlockCollection<float>*);

template BlockCollection<Complex>::~BlockCollection();
template Complex* BlockCollection<Complex>::allocate(long, long, long&);
template const Complex* BlockCollection<Complex>::getBlock(const Vec3<int>&) const;

} // namespace vexa
