#include "matching/block_matching.h"

#include <utility>

#include "core/check.h"
#include "core/complex.h"

namespace vexa {

template <class T>
void BlockQueue<T>::insert(const BlockDistance<T>& candidate) {
    heap.push_back(candidate);
    std::size_t i = heap.size() - 1;
    while (i > 0) {
        std::size_t parent = (i - 1) / 2;
        if (!(heap[i].distance > heap[parent].distance)) break;
        std::swap(heap[i], heap[parent]);
        i = parent;
    }
}

template <class T>
void BlockQueue<T>::pop() {
    if (heap.empty()) return;
    heap.front() = heap.back();
    heap.pop_back();
    const std::size_t n = heap.size();
    std::size_t i = 0;
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && heap[child + 1].distance > heap[child].distance) ++child;
        // Sinks on equal distances too, so an equal child rises above it.
        if (heap[child].distance < heap[i].distance) break;
        std::swap(heap[i], heap[child]);
        i = child;
    }
}

template <class T>
void BlockQueue<T>::replaceTop(const BlockDistance<T>& candidate) {
    pop();
    insert(candidate);
}

void setSearchWindow(const Vec3<int>& reference, const Vec3<int>& searchRadius,
                     const Vec3<int>& blockSize, const Vec3<int>& imageSize, Vec3<int>& start,
                     Vec3<int>& end) {
    auto axis = [](int ref, int radius, int block, int image, int& lo, int& hi) {
        lo = ref - radius;
        if (lo < 0) lo = 0;
        hi = ref + radius;
        if (hi > image - block) hi = image - block;
    };
    axis(reference.x, searchRadius.x, blockSize.x, imageSize.x, start.x, end.x);
    axis(reference.y, searchRadius.y, blockSize.y, imageSize.y, start.y, end.y);
    axis(reference.z, searchRadius.z, blockSize.z, imageSize.z, start.z, end.z);
}

namespace {

inline float squaredDifference(float c, float r) {
    const float d = c - r;
    return d * d;
}

inline float squaredDifference(const Complex& c, const Complex& r) {
    const float re = c.re - r.re;
    const float im = c.im - r.im;
    return im * im + re * re;
}

// Adds the squared differences of coefficients [from, to) to d in storage
// order; the order is part of the result (ties), so it is never reassociated.
template <class T>
inline float accumulate(const T* candidate, const T* reference, int from, int to, float d) {
    for (int i = from; i < to; ++i) d += squaredDifference(candidate[i], reference[i]);
    return d;
}

inline bool axisInside(int bufferStart, int bufferRange, int lo, int hi) {
    return lo >= bufferStart && hi < bufferStart + bufferRange;
}

inline bool windowInside(const Vec3<int>& bufferStart, const Vec3<int>& bufferRange,
                         const Vec3<int>& start, const Vec3<int>& end) {
    return axisInside(bufferStart.x, bufferRange.x, start.x, end.x) &&
           axisInside(bufferStart.y, bufferRange.y, start.y, end.y) &&
           axisInside(bufferStart.z, bufferRange.z, start.z, end.z);
}

} // namespace

template <class T>
BlockQueue<T> blockMatching(const BlockCollection<T>& collection, const float* distanceBias,
                            const Vec3<int>& reference, const Vec3<int>& blockSize,
                            const Vec3<int>& searchRadius, const Vec3<int>& start,
                            const Vec3<int>& end, int maxGroupSize) {
    VEXA_CHECK(windowInside(collection._bufferStart, collection._bufferRange, reference, reference),
               "reference inside the block buffer");
    const T* refBlock = collection.getBlock(reference);
    BlockQueue<T> queue;
    // No room for candidates, or no position to visit.
    if (maxGroupSize <= 1 || start.z > end.z || start.y > end.y || start.x > end.x) return queue;

    // getBlock accepts a position past the buffer on some axes (it would hand
    // back another block), and the bias table covers reference +- radius only.
    VEXA_CHECK(windowInside(collection._bufferStart, collection._bufferRange, start, end),
               "search window inside the block buffer");
    VEXA_CHECK(start >= reference - searchRadius && (reference + searchRadius) >= end,
               "search window within reference +- searchRadius");

    const int b = blockSize.x * blockSize.y * blockSize.z;
    const int quarter = b >> 2;
    const int half = b >> 1;
    const int strideY = 2 * searchRadius.x + 1;
    const int strideZ = strideY * (2 * searchRadius.y + 1);
    const int capacity = maxGroupSize - 1;
    const long long positions =
        static_cast<long long>(end.x - start.x + 1) * (end.y - start.y + 1) * (end.z - start.z + 1);
    queue.heap.reserve(static_cast<std::size_t>(capacity < positions ? capacity : positions));

    Vec3<int> p;
    for (p.z = start.z; p.z <= end.z; ++p.z) {
        for (p.y = start.y; p.y <= end.y; ++p.y) {
            for (p.x = start.x; p.x <= end.x; ++p.x) {
                if (p == reference) continue;
                const T* block = collection.getBlock(p);
                const int biasIndex = (p.z - reference.z + searchRadius.z) * strideZ +
                                      (p.y - reference.y + searchRadius.y) * strideY +
                                      (p.x - reference.x + searchRadius.x);
                float d = distanceBias ? -distanceBias[biasIndex] : -0.0f;
                if (queue.size() < capacity) {
                    d = accumulate(block, refBlock, 0, b, d);
                    queue.insert({block, d, p, {0, 0, 0}});
                    continue;
                }
                const float worst = queue.top().distance;
                d = accumulate(block, refBlock, 0, quarter, d);
                if (d > worst) continue;
                d = accumulate(block, refBlock, quarter, half, d);
                if (d > worst) continue;
                d = accumulate(block, refBlock, half, b, d);
                if (worst > d) queue.replaceTop({block, d, p, {0, 0, 0}});
            }
        }
    }
    return queue;
}

template <class T>
void unloadBlockQueue(int minGroupSize, float matchThreshold, Vec3<int>& minCorner,
                      BlockQueue<T>& queue, BlockDistance<T>* matches, int& count) {
    // minGroupSize - 1 compared as unsigned: a floor of 0 or below stops at once.
    const unsigned long long floor =
        static_cast<unsigned long long>(static_cast<long long>(minGroupSize) - 1);
    for (;;) {
        const unsigned long long n = static_cast<unsigned long long>(queue.size());
        if (n <= floor) break;
        if (queue.top().distance > matchThreshold) {
            queue.pop();
            continue;
        }
        if ((n & (n + 1)) == 0) break;
        queue.pop();
    }
    // The group transforms exist only for power-of-two lengths: drop the worst
    // members until the length (candidates + reference) is one.
    while ((static_cast<unsigned>(queue.size()) & (static_cast<unsigned>(queue.size()) + 1u)) != 0)
        queue.pop();

    const int n = queue.size();
    count = n;
    for (int i = n; i >= 1; --i) {
        matches[i] = queue.top();
        const Vec3<int>& p = matches[i].position;
        if (p.x < minCorner.x) minCorner.x = p.x;
        if (p.y < minCorner.y) minCorner.y = p.y;
        if (p.z < minCorner.z) minCorner.z = p.z;
        queue.pop();
    }
    for (int i = 1; i <= n; ++i) matches[i].relativePosition = matches[i].position - minCorner;
}

template <class T>
void getBlockMatches(const BlockCollection<T>& collection, const float* distanceBias,
                     const Vec3<int>& reference, const Vec3<int>& blockSize,
                     const Vec3<int>& searchRadius, const Vec3<int>& start, const Vec3<int>& end,
                     int maxGroupSize, int minGroupSize, float matchThreshold,
                     BlockDistance<T>* matches, int& count) {
    // matches has room for maxGroupSize records; the reference needs one.
    VEXA_CHECK(maxGroupSize >= 1, "maxGroupSize >= 1");
    BlockQueue<T> queue = blockMatching(collection, distanceBias, reference, blockSize,
                                        searchRadius, start, end, maxGroupSize);
    Vec3<int> minCorner = reference;
    unloadBlockQueue(minGroupSize, matchThreshold, minCorner, queue, matches, count);
    matches[0].block = collection.getBlock(reference);
    matches[0].distance = 0.0f;
    matches[0].position = reference;
    matches[0].relativePosition = reference - minCorner;
    count += 1;
}

template struct BlockQueue<float>;
template struct BlockQueue<Complex>;

template BlockQueue<float> blockMatching<float>(const BlockCollection<float>&, const float*,
                                                const Vec3<int>&, const Vec3<int>&,
                                                const Vec3<int>&, const Vec3<int>&,
                                                const Vec3<int>&, int);
template BlockQueue<Complex> blockMatching<Complex>(const BlockCollection<Complex>&, const float*,
                                                    const Vec3<int>&, const Vec3<int>&,
                                                    const Vec3<int>&, const Vec3<int>&,
                                                    const Vec3<int>&, int);

template void unloadBlockQueue<float>(int, float, Vec3<int>&, BlockQueue<float>&,
                                      BlockDistance<float>*, int&);
template void unloadBlockQueue<Complex>(int, float, Vec3<int>&, BlockQueue<Complex>&,
                                        BlockDistance<Complex>*, int&);

template void getBlockMatches<float>(const BlockCollection<float>&, const float*, const Vec3<int>&,
                                     const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                     const Vec3<int>&, int, int, float, BlockDistance<float>*,
                                     int&);
template void getBlockMatches<Complex>(const BlockCollection<Complex>&, const float*,
                                       const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                       const Vec3<int>&, const Vec3<int>&, int, int, float,
                                       BlockDistance<Complex>*, int&);

} // namespace vexa
