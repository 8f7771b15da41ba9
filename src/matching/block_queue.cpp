#include "matching/block_queue.h"

#include <cstddef>

#include "core/complex.h"

namespace vexa {

// Both sifts carry the moving record in hand and shift the others into the
// hole: the same comparisons and the same final places as swapping at every
// level, with one copy per level instead of three.
namespace {

// Lets `candidate` rise from the free place i while strictly greater than
// the parent, and stores it where it stops.
template <class T>
void siftUp(BlockDistance<T>* h, std::size_t i, const BlockDistance<T>& candidate) {
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!(candidate.distance > h[parent].distance)) break;
        h[i] = h[parent];
        i = parent;
    }
    h[i] = candidate;
}

// Sinks `moving` from the root of h[0, n): towards the larger child while
// that child is not smaller (an equal child rises above it). Returns where
// it stops; the caller stores it there.
template <class T>
std::size_t siftDownFromRoot(BlockDistance<T>* h, std::size_t n, float moving) {
    std::size_t i = 0;
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) break;
        // Which child is larger is a coin toss to the branch predictor.
        if (child + 1 < n)
            child += static_cast<std::size_t>(h[child + 1].distance > h[child].distance);
        if (h[child].distance < moving) break;
        h[i] = h[child];
        i = child;
    }
    return i;
}

} // namespace

template <class T>
void BlockQueue<T>::insert(const BlockDistance<T>& candidate) {
    const std::size_t i = heap.size();
    heap.push_back(candidate);
    siftUp(heap.data(), i, candidate);
}

template <class T>
void BlockQueue<T>::pop() {
    if (heap.empty()) return;
    const BlockDistance<T> moving = heap.back();
    heap.pop_back();
    const std::size_t n = heap.size();
    if (n == 0) return;
    BlockDistance<T>* h = heap.data();
    h[siftDownFromRoot(h, n, moving.distance)] = moving;
}

// pop() then insert() without resizing the heap: the last record sinks in
// the first n - 1 places, and the candidate rises from the freed last one.
template <class T>
void BlockQueue<T>::replaceTop(const BlockDistance<T>& given) {
    const BlockDistance<T> candidate = given; // given may be a record of this heap
    const std::size_t n = heap.size();
    if (n == 0) return heap.push_back(candidate);
    BlockDistance<T>* h = heap.data();
    const BlockDistance<T> moving = h[n - 1];
    h[siftDownFromRoot(h, n - 1, moving.distance)] = moving;
    siftUp(h, n - 1, candidate);
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

template struct BlockQueue<float>;
template struct BlockQueue<Complex>;

template void unloadBlockQueue<float>(int, float, Vec3<int>&, BlockQueue<float>&,
                                      BlockDistance<float>*, int&);
template void unloadBlockQueue<Complex>(int, float, Vec3<int>&, BlockQueue<Complex>&,
                                        BlockDistance<Complex>*, int&);

} // namespace vexa
