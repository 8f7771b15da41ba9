#include "matching/block_matching.h"

#include "core/check.h"
#include "core/complex.h"
#include "matching/distance_kernels.h"

namespace vexa {

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

// What both forms of the scan share: the checks, the reference block and the
// constants of the candidate loop. empty is set when there is nothing to visit.
template <class T>
struct Scan {
    const T* refBlock = nullptr;
    int b = 0, quarter = 0, half = 0, strideY = 0, strideZ = 0, capacity = 0;
    bool empty = true;

    Scan(const BlockCollection<T>& collection, const Vec3<int>& reference,
         const Vec3<int>& blockSize, const Vec3<int>& searchRadius, const Vec3<int>& start,
         const Vec3<int>& end, int maxGroupSize, BlockQueue<T>& queue) {
        VEXA_CHECK(
            windowInside(collection._bufferStart, collection._bufferRange, reference, reference),
            "reference inside the block buffer");
        refBlock = collection.getBlock(reference);
        // No room for candidates, or no position to visit.
        if (maxGroupSize <= 1 || start.z > end.z || start.y > end.y || start.x > end.x) return;
        // Once per reference rather than per block: a block outside the buffer
        // would alias another slot, and the bias table covers reference +- radius.
        VEXA_CHECK(windowInside(collection._bufferStart, collection._bufferRange, start, end),
                   "search window inside the block buffer");
        VEXA_CHECK(start >= reference - searchRadius && (reference + searchRadius) >= end,
                   "search window within reference +- searchRadius");
        empty = false;
        b = blockSize.x * blockSize.y * blockSize.z;
        quarter = b >> 2;
        half = b >> 1;
        strideY = 2 * searchRadius.x + 1;
        strideZ = strideY * (2 * searchRadius.y + 1);
        capacity = maxGroupSize - 1;
        const long long positions = static_cast<long long>(end.x - start.x + 1) *
                                    (end.y - start.y + 1) * (end.z - start.z + 1);
        queue.heap.reserve(static_cast<std::size_t>(capacity < positions ? capacity : positions));
    }

    float startDistance(const float* distanceBias, const Vec3<int>& p, const Vec3<int>& reference,
                        const Vec3<int>& r) const {
        if (!distanceBias) return -0.0f;
        return -distanceBias[(p.z - reference.z + r.z) * strideZ +
                             (p.y - reference.y + r.y) * strideY + (p.x - reference.x + r.x)];
    }

    // Steps 5.3 and 5.4 of docs/design.md for one candidate whose first `done`
    // coefficients are in d.
    void offer(BlockQueue<T>& queue, const T* block, const Vec3<int>& p, float d, int done) const {
        if (queue.size() < capacity) {
            d = accumulate(block, refBlock, done, b, d);
            queue.insert({block, d, p, {0, 0, 0}});
            return;
        }
        const float worst = queue.top().distance;
        if (done < quarter) d = accumulate(block, refBlock, done, quarter, d);
        if (d > worst) return;
        d = accumulate(block, refBlock, quarter, half, d);
        if (d > worst) return;
        d = accumulate(block, refBlock, half, b, d);
        if (worst > d) queue.replaceTop({block, d, p, {0, 0, 0}});
    }
};

constexpr int kLanes = 8;
constexpr int kBatch = 2 * kLanes;

// Sums of coefficients [from, to) of `lanes` (8 or 16) candidates at once:
// independent chains, each in storage order, so every sum equals the sum of
// the one-at-a-time scan. Float blocks go through the vector kernels.
template <class T>
inline void laneSums(const T* const* blocks, const T* ref, int from, int to, float* d, int lanes) {
    for (int i = from; i < to; ++i) {
        const T r = ref[i];
        for (int k = 0; k < lanes; ++k) d[k] += squaredDifference(blocks[k][i], r);
    }
}

inline void laneSums(const float* const* blocks, const float* ref, int from, int to, float* d,
                     int lanes) {
    if (lanes > kLanes)
        candidateSums16(blocks, ref, from, to, d);
    else
        candidateSums8(blocks, ref, from, to, d);
}

// Advances the sums of the listed candidates (at most sixteen) over
// [from, to); idle lanes repeat the first one and are dropped.
template <class T>
inline void advance(const T* const* blocks, float* d, const int* idx, int m, const T* ref, int from,
                    int to) {
    if (m == 0 || from >= to) return;
    const int lanes = m > kLanes ? kBatch : kLanes;
    const T* lane[kBatch];
    float acc[kBatch];
    for (int k = 0; k < lanes; ++k) {
        const int j = idx[k < m ? k : 0];
        lane[k] = blocks[j];
        acc[k] = d[j];
    }
    laneSums(lane, ref, from, to, acc, lanes);
    for (int k = 0; k < m; ++k) d[idx[k]] = acc[k];
}

// Candidates gathered in scan order, up to sixteen, then decided together.
template <class T>
struct Batch {
    const T* blocks[kBatch];
    Vec3<int> pos[kBatch];
    float quarterSum[kBatch], halfSum[kBatch], fullSum[kBatch];
    int idx[kBatch];
    bool reached[kBatch];
    float batchWorst = 0.0f; // the top when the batch's decisions start
    int n = 0;

    // Sums of every gathered candidate; a full batch is summed in place.
    void firstSums(float* d, const T* ref, int from, int to) {
        if (n == kBatch) return laneSums(static_cast<const T* const*>(blocks), ref, from, to, d, n);
        for (int j = 0; j < n; ++j) idx[j] = j;
        advance(blocks, d, idx, n, ref, from, to);
    }

    // While the queue is not full every candidate enters with its full sum.
    void fill(BlockQueue<T>& queue, const Scan<T>& scan) {
        for (int j = 0; j < n; ++j) fullSum[j] = quarterSum[j];
        firstSums(fullSum, scan.refBlock, 0, scan.b);
        for (int j = 0; j < n; ++j) queue.insert({blocks[j], fullSum[j], pos[j], {0, 0, 0}});
    }

    // Once the queue is full its top only decreases, and a partial sum only
    // grows. So a candidate whose partial sum exceeds the top at the start of
    // its batch is one the plain scan rejects as well, and sums run further
    // than the plain scan would never change its decisions, which are then
    // taken candidate by candidate in scan order with the current top.
    void decide(BlockQueue<T>& queue, const Scan<T>& scan) {
        batchWorst = queue.top().distance;
        firstSums(quarterSum, scan.refBlock, 0, scan.quarter);

        // Survivors are kept in scan order without branches: most candidates
        // fall at the first quarter, in no predictable pattern.
        int alive = 0;
        for (int j = 0; j < n; ++j) {
            idx[alive] = j;
            alive += !(quarterSum[j] > batchWorst);
        }
        if (alive == 0) return; // the top is unchanged, so nobody is redone
        for (int k = 0; k < alive; ++k) halfSum[idx[k]] = quarterSum[idx[k]];
        advance(blocks, halfSum, idx, alive, scan.refBlock, scan.quarter, scan.half);

        for (int j = 0; j < n; ++j) reached[j] = false;
        int m = 0;
        for (int k = 0; k < alive; ++k) {
            const int j = idx[k];
            idx[m] = j;
            m += !(halfSum[j] > batchWorst);
        }
        if (m == 0) return;
        for (int k = 0; k < m; ++k) {
            fullSum[idx[k]] = halfSum[idx[k]];
            reached[idx[k]] = true;
        }
        advance(blocks, fullSum, idx, m, scan.refBlock, scan.half, scan.b);

        // Candidates that stopped early need a second look only once the top
        // has risen above batchWorst, which only NaN distances (they break the
        // heap order) can do: until then only the m that reached the end are
        // visited, and from that point on every candidate is.
        for (int k = 0; k < m; ++k) {
            const int j = idx[k];
            const float worst = queue.top().distance;
            if (quarterSum[j] > worst || halfSum[j] > worst) continue;
            if (!(worst > fullSum[j])) continue;
            queue.replaceTop({blocks[j], fullSum[j], pos[j], {0, 0, 0}});
            if (queue.top().distance > batchWorst) return decideEach(queue, scan, j + 1);
        }
    }

    // The decisions of candidates from..n-1 one by one in scan order.
    void decideEach(BlockQueue<T>& queue, const Scan<T>& scan, int from) {
        for (int j = from; j < n; ++j) {
            const float worst = queue.top().distance;
            if (!reached[j]) {
                // The early rejection is redone against the raised top.
                if (worst > batchWorst)
                    scan.offer(queue, blocks[j], pos[j], quarterSum[j], scan.quarter);
                continue;
            }
            if (quarterSum[j] > worst || halfSum[j] > worst) continue;
            if (worst > fullSum[j]) queue.replaceTop({blocks[j], fullSum[j], pos[j], {0, 0, 0}});
        }
    }

    // Decides the gathered candidates; returns how many the next batch takes.
    int flush(BlockQueue<T>& queue, const Scan<T>& scan) {
        if (n > 0) {
            if (queue.size() < scan.capacity)
                fill(queue, scan);
            else
                decide(queue, scan);
        }
        n = 0;
        const int room = scan.capacity - queue.size();
        return room > 0 && room < kBatch ? room : kBatch;
    }
};

} // namespace

template <class T>
BlockQueue<T> blockMatchingReference(const BlockCollection<T>& collection,
                                     const float* distanceBias, const Vec3<int>& reference,
                                     const Vec3<int>& blockSize, const Vec3<int>& searchRadius,
                                     const Vec3<int>& start, const Vec3<int>& end,
                                     int maxGroupSize) {
    BlockQueue<T> queue;
    const Scan<T> scan(collection, reference, blockSize, searchRadius, start, end, maxGroupSize,
                       queue);
    if (scan.empty) return queue;
    Vec3<int> p;
    for (p.z = start.z; p.z <= end.z; ++p.z)
        for (p.y = start.y; p.y <= end.y; ++p.y)
            for (p.x = start.x; p.x <= end.x; ++p.x) {
                if (p == reference) continue;
                scan.offer(queue, collection.getBlock(p), p,
                           scan.startDistance(distanceBias, p, reference, searchRadius), 0);
            }
    return queue;
}

template <class T>
BlockQueue<T> blockMatching(const BlockCollection<T>& collection, const float* distanceBias,
                            const Vec3<int>& reference, const Vec3<int>& blockSize,
                            const Vec3<int>& searchRadius, const Vec3<int>& windowStart,
                            const Vec3<int>& windowEnd, int maxGroupSize) {
    // Copies: the batch's stores could otherwise alias them, and every
    // candidate would read them again.
    const Vec3<int> start = windowStart, end = windowEnd;
    BlockQueue<T> queue;
    const Scan<T> scan(collection, reference, blockSize, searchRadius, start, end, maxGroupSize,
                       queue);
    if (scan.empty) return queue;

    // Candidates go to the batch in scan order; a batch while the queue
    // fills takes exactly the candidates that still find room.
    Batch<T> batch;
    int want = batch.flush(queue, scan);
    const Vec3<int> r = searchRadius;
    // Slots straight from the ring (the whole window was checked to lie in
    // the box): one remainder per plane and row, and along x the slot index
    // only wraps.
    const Vec3<int>& range = collection._bufferRange;
    const long slot = collection.totalBlockSize;
    const int firstColumn = start.x % range.x;
    const int width = end.x - start.x + 1;
    for (int z = start.z; z <= end.z; ++z) {
        const long plane = static_cast<long>(z % range.z) * range.y;
        for (int y = start.y; y <= end.y; ++y) {
            const T* row = collection.data + (plane + y % range.y) * range.x * slot;
            const float* biasRow = distanceBias == nullptr
                                       ? nullptr
                                       : distanceBias + (z - reference.z + r.z) * scan.strideZ +
                                             (y - reference.y + r.y) * scan.strideY +
                                             (start.x - reference.x + r.x);
            const int skip = y == reference.y && z == reference.z ? reference.x - start.x : -1;
            const T* block = row + firstColumn * slot;
            int column = firstColumn;
            int n = batch.n; // kept in a register between flushes
            for (int i = 0; i < width; ++i) {
                if (i != skip) {
                    batch.blocks[n] = block;
                    batch.pos[n] = {start.x + i, y, z};
                    batch.quarterSum[n] = biasRow == nullptr ? -0.0f : -biasRow[i];
                    if (++n == want) { // the flush empties the batch
                        batch.n = n;
                        want = batch.flush(queue, scan);
                        n = 0;
                    }
                }
                if (++column == range.x) {
                    column = 0;
                    block = row;
                } else {
                    block += slot;
                }
            }
            batch.n = n;
        }
    }
    batch.flush(queue, scan);
    return queue;
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

template BlockQueue<float> blockMatchingReference<float>(const BlockCollection<float>&,
                                                         const float*, const Vec3<int>&,
                                                         const Vec3<int>&, const Vec3<int>&,
                                                         const Vec3<int>&, const Vec3<int>&, int);
template BlockQueue<Complex> blockMatchingReference<Complex>(const BlockCollection<Complex>&,
                                                             const float*, const Vec3<int>&,
                                                             const Vec3<int>&, const Vec3<int>&,
                                                             const Vec3<int>&, const Vec3<int>&,
                                                             int);
template BlockQueue<float> blockMatching<float>(const BlockCollection<float>&, const float*,
                                                const Vec3<int>&, const Vec3<int>&,
                                                const Vec3<int>&, const Vec3<int>&,
                                                const Vec3<int>&, int);
template BlockQueue<Complex> blockMatching<Complex>(const BlockCollection<Complex>&, const float*,
                                                    const Vec3<int>&, const Vec3<int>&,
                                                    const Vec3<int>&, const Vec3<int>&,
                                                    const Vec3<int>&, int);

template void getBlockMatches<float>(const BlockCollection<float>&, const float*, const Vec3<int>&,
                                     const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                     const Vec3<int>&, int, int, float, BlockDistance<float>*,
                                     int&);
template void getBlockMatches<Complex>(const BlockCollection<Complex>&, const float*,
                                       const Vec3<int>&, const Vec3<int>&, const Vec3<int>&,
                                       const Vec3<int>&, const Vec3<int>&, int, int, float,
                                       BlockDistance<Complex>*, int&);

} // namespace vexa
