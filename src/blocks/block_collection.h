#pragma once

#include "core/image_data.h"
#include "core/memory.h"
#include "core/vec3.h"
#include "transforms/transform_kinds.h"

namespace vexa {

// Sliding buffer of transformed blocks: a 3-D ring of block origins, every
// slot holding the forward 3-D transform of one block.
template <class T>
struct BlockCollection {
    bool hasData = false;
    T* data = nullptr;
    long blockCount = 0;
    long totalBlockSize = 0;
    Vec3<int> _bufferRange{0, 0, 0};
    Vec3<int> _bufferStart{0, 0, 0};

    BlockCollection() = default;
    BlockCollection(const BlockCollection&) = delete;
    BlockCollection& operator=(const BlockCollection&) = delete;
    ~BlockCollection();

    T* allocate(long count, long blockFloats, long& total);
    T* allocate(const Vec3<int>& imageSize, const Vec3<int>& blockSize, const Vec3<int>& boxRadius);

    bool extractInitial(const ImageData<T>& image, const Vec3<int>& pos, const Vec3<int>& blockSize,
                        const Vec3<const T*>& transforms,
                        const Vec3<TransformsMetas::StandardTransform>& kinds, bool doAllocate,
                        TempMemory<T>& temp, const Vec3<int>& boxRadius);

    void moveInImage(const ImageData<T>& image, const Vec3<int>& move, const Vec3<int>& blockSize,
                     const Vec3<const T*>& transforms, TempMemory<T>& temp);

    // A ring of capacity.x * capacity.y * capacity.z slots for coverWindow;
    // the box holds nothing until the first coverWindow. False when the
    // memory is not there (the message is written).
    bool allocateRing(const Vec3<int>& capacity, const Vec3<int>& blockSize);

    // Makes the box hold every origin from need.lo to need.hi (inclusive;
    // need.hi - need.lo < _bufferRange on every axis, both within [0, maxPos]).
    // An axis whose range already holds the need keeps its place; any other
    // is placed to start at need.lo - slack, clamped to [0, maxPos - range + 1].
    // Only origins the old box did not hold are extracted: a box that slides
    // reuses its overlap. Every block is transformed as extractInitial does,
    // so the slots equal those of a whole-volume extraction bit for bit.
    void coverWindow(const ImageData<T>& image, const Vec3<int>& needLo, const Vec3<int>& needHi,
                     const Vec3<int>& slack, const Vec3<int>& maxPos, const Vec3<int>& blockSize,
                     const Vec3<const T*>& transforms,
                     const Vec3<TransformsMetas::StandardTransform>& kinds, TempMemory<T>& temp);

    // Extracts and transforms every origin of the box [first, last] (inclusive,
    // empty when any last < first) into its slot.
    void extractBox(const ImageData<T>& image, const Vec3<int>& first, const Vec3<int>& last,
                    const Vec3<int>& blockSize, const Vec3<const T*>& transforms,
                    const Vec3<TransformsMetas::StandardTransform>& kinds, TempMemory<T>& temp);

    // Asks the outer caches for every cache line of every held block whose
    // origin lies in [first, last]: blocks a coming scan will read.
    // Origins outside the box are skipped; nothing is read or written.
    void prefetch(const Vec3<int>& first, const Vec3<int>& last) const;

    // Every component of coords must lie inside the box; a block outside it
    // would alias another slot of the ring, so that fails the checks.
    const T* getBlock(const Vec3<int>& coords) const;
    bool getHasData() const { return hasData; }
};

// Slot of the block with origin p in a ring of the given range (origins >= 0).
inline long slotIndex(const Vec3<int>& p, const Vec3<int>& range) {
    return (static_cast<long>(p.z % range.z) * range.y + p.y % range.y) * range.x + p.x % range.x;
}

// Ring capacity of a job's collection per axis: every origin of a whole
// axis; on a windowed one the search window (2 * searchRadius + 1) and the
// largest grid shift of the axis, at most every origin.
Vec3<int> windowCapacity(const Vec3<int>& imageSize, const Vec3<int>& blockSize,
                         const bool windowed[3], const Vec3<int>& searchRadius,
                         const Vec3<int>& maxShift);

// Keeps a job's collections over the search window of pos after a move. After
// the call the box holds every origin of the search window (radius
// boxRadius - 1) of any reference from pos - 2 to pos on each axis, pos
// clamped to the last block origin; it slides by move when it can and is
// extracted afresh otherwise. Any sequence of positions is allowed, so a
// caller with larger grid shifts passes the shifted reference as pos.
template <StageName S, class T>
void moveCollections(const Vec3<int>& pos, const Vec3<int>& move, const Vec3<int>& boxRadius,
                     const Vec3<int>& blockSize, const Vec3<const T*>& transforms,
                     TempMemory<T>& temp, const ImageData<T>& image, const ImageData<T>* image2,
                     const Vec3<TransformsMetas::StandardTransform>& kinds,
                     BlockCollection<T>* collHTWie, BlockCollection<T>* collWie);

} // namespace vexa
