#pragma once

#include <vector>

#include "core/block_distance.h"
#include "core/vec3.h"

namespace vexa {

// Bounded max-heap of candidates ordered by distance (largest on top).
template <class T>
struct BlockQueue {
    std::vector<BlockDistance<T>> heap;

    int size() const { return static_cast<int>(heap.size()); }
    bool empty() const { return heap.empty(); }
    const BlockDistance<T>& top() const { return heap.front(); }
    // Appends and sifts up while strictly greater than the parent.
    void insert(const BlockDistance<T>& candidate);
    // Removes the top (the last element sinks towards its larger child while
    // that child is not smaller), then inserts candidate.
    void replaceTop(const BlockDistance<T>& candidate);
    void pop();
};

// Prunes the queue, then writes matches[1..count] best first and their
// relative positions. The count written is a power of two minus one.
template <class T>
void unloadBlockQueue(int minGroupSize, float matchThreshold, Vec3<int>& minCorner,
                      BlockQueue<T>& queue, BlockDistance<T>* matches, int& count);

} // namespace vexa
