#include "core/image_data.h"

#include <cstring>

#include "core/allocator.h"
#include "core/sizes.h"

namespace vexa {

template <class T>
ImageDataMutable<T>& ImageDataMutable<T>::operator=(ImageDataMutable&& o) noexcept {
    if (this != &o) {
        release();
        _data = o._data;
        _size = o._size;
        _sliceSize = o._sliceSize;
        _ownedBuffer = o._ownedBuffer;
        _owns = o._owns;
        _ringElements = o._ringElements;
        o._ownedBuffer = nullptr;
        o._owns = false;
        o._data = nullptr;
    }
    return *this;
}

template <class T>
ImageDataMutable<T> ImageDataMutable<T>::allocateZeroed(const Vec3<int>& size) {
    ImageDataMutable<T> v;
    v._size = size;
    long long n = 0;
    if (!checkedProduct({size.x, size.y, size.z}, n)) return v;
    v._sliceSize = size.x * size.y;
    const std::size_t bytes = static_cast<std::size_t>(n > 0 ? n : 1) * sizeof(T);
    void* p = cMalloc(bytes);
    if (!p) return v;
    std::memset(p, 0, bytes);
    v._data = static_cast<T*>(p);
    v._ownedBuffer = p;
    v._owns = true;
    return v;
}

template <class T>
ImageDataMutable<T> ImageDataMutable<T>::allocateZeroedRing(const Vec3<int>& size,
                                                            long long sliceElements, int slices) {
    ImageDataMutable<T> v;
    v._size = size;
    long long n = 0;
    if (!checkedProduct({size.x, size.y, size.z}, n) || sliceElements <= 0 || slices <= 0)
        return v;
    v._sliceSize = size.x * size.y;
    const long long ring = sliceElements * slices;
    if (ring >= n) return allocateZeroed(size); // the ring would hold the whole volume
    void* p = cMalloc(static_cast<std::size_t>(ring) * sizeof(T));
    if (!p) return v;
    std::memset(p, 0, static_cast<std::size_t>(ring) * sizeof(T));
    v._data = static_cast<T*>(p);
    v._ownedBuffer = p;
    v._owns = true;
    v._ringElements = ring;
    return v;
}

template <class T>
void ImageDataMutable<T>::release() {
    if (_owns) {
        cFree(_ownedBuffer);
        _ownedBuffer = nullptr;
        _owns = false;
        _data = nullptr;
    }
}

template struct ImageDataMutable<float>;

} // namespace vexa
