#include "blocks/block_collection.h"

#include <climits>
#include <cstdint>

#include "core/allocator.h"
#include "core/check.h"
#include "core/complex.h"
#include "core/report.h"
#include "core/sizes.h"

namespace vexa {
namespace {

const char* const kAllocationAdvice =
    "Failed to allocate block memory! \n"
    "If profile.split_block_extraction is set to [False, False, False], this is likely fixed by \n"
    "setting the value to [False, False, True] or, if still failing, [False, True, True]. \n"
    "pro = VEXAProfile(); pro.split_block_extraction = [False, False, True]; y_est = vexa(z, psd, "
    "pro);";

inline int wrap(int v, int range) {
    return v % range;
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
    void* p = nullptr;
    if (fits) {
        const std::size_t bytes = static_cast<std::size_t>(elements > 0 ? elements : 1) * sizeof(T);
        p = data ? cRealloc(data, bytes) : cMalloc(bytes);
    }
    if (!p) {
        // realloc keeps the old block on failure; release it so nothing leaks.
        cFree(data);
        data = nullptr;
        hasData = false;
        reportFailure(Status::OutOfMemory, kAllocationAdvice);
        return nullptr;
    }
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
    long long count = 0;
    const bool fits = checkedProduct({slots(imageSize.x, blockSize.x, boxRadius.x),
                                      slots(imageSize.y, blockSize.y, boxRadius.y),
                                      slots(imageSize.z, blockSize.z, boxRadius.z)},
                                     count, LONG_MAX);
    VEXA_CHECK(!fits || count > 0, "blockCount > 0");
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
    const long slot = (static_cast<long>(wrap(coords.z, _bufferRange.z)) * _bufferRange.y +
                       wrap(coords.y, _bufferRange.y)) *
                          _bufferRange.x +
                      wrap(coords.x, _bufferRange.x);
    return data + slot * totalBlockSize;
}

template struct BlockCollection<float>;

template BlockCollection<Complex>::~BlockCollection();
template Complex* BlockCollection<Complex>::allocate(long, long, long&);
template const Complex* BlockCollection<Complex>::getBlock(const Vec3<int>&) const;

} // namespace vexa
