#pragma once

#include "core/check.h"
#include "core/vec3.h"

namespace vexa {

template <class T>
struct TempMemory;

// Read-only view of a volume, x fastest; never owns its samples.
template <class T>
struct ImageData {
    const T* _data = nullptr;
    Vec3<int> _size{0, 0, 0};
    int _sliceSize = 0;

    ImageData() = default;
    ImageData(const T* data, const Vec3<int>& size)
        : _data(data), _size(size), _sliceSize(size.x * size.y) {}

    int convertToIndex(const Vec3<int>& c) const { return c.x + c.y * _size.x + c.z * _sliceSize; }

    // Only the linear index is checked.
    T at(const Vec3<int>& c) const {
        VEXA_CHECK(convertToIndex(c) >= 0 && convertToIndex(c) < _size.volume(),
                   "convertToIndex(coords) >= 0 && convertToIndex(coords) < _size.volume()");
        return _data[convertToIndex(c)];
    }

    // Reads the block with lowest corner pos and writes its forward 3-D
    // transform (general matrix products) into out. Defined with the block
    // collections.
    void extractBlock(const Vec3<int>& pos, const Vec3<int>& blockSize,
                      const Vec3<const T*>& transforms, T* out, TempMemory<T>& temp) const;
};

// Writable volume, optionally owning a buffer from the C allocator.
template <class T>
struct ImageDataMutable {
    T* _data = nullptr;
    Vec3<int> _size{0, 0, 0};
    int _sliceSize = 0;
    void* _ownedBuffer = nullptr;
    bool _owns = false;
    // 0: every voxel has its own element. Otherwise the buffer holds only
    // this many elements (whole slices of the last axis) and voxel i lives at
    // i % _ringElements: a ring of slices that its owner recycles.
    long long _ringElements = 0;

    ImageDataMutable() = default;
    // Wraps a caller's buffer; nothing is released on destruction.
    ImageDataMutable(T* data, const Vec3<int>& size)
        : _data(data), _size(size), _sliceSize(size.x * size.y) {}
    ImageDataMutable(const ImageDataMutable&) = delete;
    ImageDataMutable& operator=(const ImageDataMutable&) = delete;
    ImageDataMutable(ImageDataMutable&& o) noexcept { *this = static_cast<ImageDataMutable&&>(o); }
    ImageDataMutable& operator=(ImageDataMutable&& o) noexcept;
    ~ImageDataMutable() { release(); }

    // A zero-filled volume that owns its buffer; _data is null when the
    // allocation failed (or the size does not fit an int index).
    static ImageDataMutable allocateZeroed(const Vec3<int>& size);
    // A zero-filled ring of `slices` slices of sliceElements voxels for a
    // volume of size (see _ringElements); _data is null on failure.
    static ImageDataMutable allocateZeroedRing(const Vec3<int>& size, long long sliceElements,
                                               int slices);

    // Element of the buffer that holds voxel index i.
    long long storageIndex(long long i) const { return _ringElements ? i % _ringElements : i; }

    void release();

    int convertToIndex(const Vec3<int>& c) const { return c.x + c.y * _size.x + c.z * _sliceSize; }
    T at(const Vec3<int>& c) const {
        VEXA_CHECK(convertToIndex(c) >= 0 && convertToIndex(c) < _size.volume(),
                   "convertToIndex(coords) >= 0 && convertToIndex(coords) < _size.volume()");
        return _data[convertToIndex(c)];
    }
};

} // namespace vexa
