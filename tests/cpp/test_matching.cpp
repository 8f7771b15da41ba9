#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "blocks/block_collection.h"
#include "core/allocator.h"
#include "core/check.h"
#include "core/complex.h"
#include "core/cpu_dispatch.h"
#include "core/memory.h"
#include "matching/block_matching.h"
#include "matching/distance_bias.h"
#include "matching/match_storage.h"
#include "psd/noise_tables.h"
#include "transforms/transform_tables.h"

using namespace vexa;

namespace {

float sq(float c, float r) {
    float d = c - r;
    return d * d;
}
float sq(const Complex& c, const Complex& r) {
    float re = c.re - r.re;
    float im = c.im - r.im;
    return im * im + re * re;
}

float randomValue(std::mt19937& rng, float) {
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}
Complex randomValue(std::mt19937& rng, Complex) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    float re = u(rng);
    return {re, u(rng)};
}

// A collection that buffers every block origin of a volume, filled with
// random coefficients (the collection frees data with the C allocator).
template <class T>
void fillCollection(BlockCollection<T>& c, const Vec3<int>& imageSize, const Vec3<int>& blockSize,
                    std::mt19937& rng) {
    c._bufferStart = {0, 0, 0};
    c._bufferRange = imageSize - blockSize + Vec3<int>{1, 1, 1};
    c.totalBlockSize = blockSize.volume();
    c.blockCount = c._bufferRange.volume();
    c.data = static_cast<T*>(cMalloc(sizeof(T) * c.blockCount * c.totalBlockSize));
    ASSERT_NE(c.data, nullptr);
    for (long i = 0; i < c.blockCount * c.totalBlockSize; ++i) c.data[i] = randomValue(rng, T{});
    c.hasData = true;
}

// One-coefficient blocks with chosen values at chosen origins, `fill` elsewhere.
void valueCollection(BlockCollection<float>& c, const Vec3<int>& imageSize, float fill) {
    c._bufferStart = {0, 0, 0};
    c._bufferRange = imageSize;
    c.totalBlockSize = 1;
    c.blockCount = imageSize.volume();
    c.data = static_cast<float*>(cMalloc(sizeof(float) * c.blockCount));
    for (long i = 0; i < c.blockCount; ++i) c.data[i] = fill;
    c.hasData = true;
}
void setValue(BlockCollection<float>& c, const Vec3<int>& p, float v) {
    const_cast<float*>(c.getBlock(p))[0] = v;
}

int biasIndex(const Vec3<int>& d, const Vec3<int>& r) {
    return ((d.z + r.z) * (2 * r.y + 1) + (d.y + r.y)) * (2 * r.x + 1) + (d.x + r.x);
}

template <class T>
struct Candidate {
    Vec3<int> position;
    float distance;
};

// Every candidate of the window with its distance, in ascending order
// (stable, so equal distances keep scan order).
template <class T>
std::vector<Candidate<T>> allCandidates(const BlockCollection<T>& coll, const float* bias,
                                        const Vec3<int>& ref, const Vec3<int>& bs,
                                        const Vec3<int>& r, const Vec3<int>& imageSize) {
    std::vector<Candidate<T>> out;
    const int b = bs.volume();
    const T* rb = coll.getBlock(ref);
    for (int z = std::max(0, ref.z - r.z); z <= std::min(ref.z + r.z, imageSize.z - bs.z); ++z)
        for (int y = std::max(0, ref.y - r.y); y <= std::min(ref.y + r.y, imageSize.y - bs.y); ++y)
            for (int x = std::max(0, ref.x - r.x); x <= std::min(ref.x + r.x, imageSize.x - bs.x);
                 ++x) {
                Vec3<int> p{x, y, z};
                if (p == ref) continue;
                float d = bias ? -bias[biasIndex(p - ref, r)] : 0.0f;
                const T* cb = coll.getBlock(p);
                for (int i = 0; i < b; ++i) d += sq(cb[i], rb[i]);
                out.push_back({p, d});
            }
    std::stable_sort(out.begin(), out.end(), [](const Candidate<T>& a, const Candidate<T>& c) {
        return a.distance < c.distance;
    });
    return out;
}

// Number of candidates kept: the best maxGroupSize - 1, pruned worst first
// above the threshold or off a power-of-two length, never below the floor;
// then down to a power-of-two length in any case.
template <class T>
int keptCount(const std::vector<Candidate<T>>& sorted, int maxG, int minG, float thr) {
    int n = std::min<int>(static_cast<int>(sorted.size()), std::max(0, maxG - 1));
    while (minG >= 1 && n > minG - 1) {
        bool above = sorted[n - 1].distance > thr;
        bool pow2 = ((n + 1) & n) == 0;
        if (!above && pow2) break;
        --n;
    }
    while (((n + 1) & n) != 0) --n;
    return n;
}

bool isPowerOfTwo(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

template <class T>
void expectMatchesBruteForce(const BlockCollection<T>& coll, const float* bias,
                             const Vec3<int>& ref, const Vec3<int>& bs, const Vec3<int>& r,
                             const Vec3<int>& imageSize, int maxG, int minG, float thr) {
    SCOPED_TRACE(testing::Message()
                 << "ref " << ref.x << "," << ref.y << "," << ref.z << " r " << r.x << "," << r.y
                 << "," << r.z << " bs " << bs.x << "," << bs.y << "," << bs.z << " maxG " << maxG
                 << " minG " << minG << " thr " << thr);
    std::vector<Candidate<T>> sorted = allCandidates(coll, bias, ref, bs, r, imageSize);
    const int n = keptCount(sorted, maxG, minG, thr);

    Vec3<int> start, end;
    setSearchWindow(ref, r, bs, imageSize, start, end);
    // Two spare records past maxGroupSize catch writes beyond the group.
    std::vector<BlockDistance<T>> matches(maxG + 2);
    matches[maxG].position = matches[maxG + 1].position = {-7, -7, -7};
    int count = -1;
    getBlockMatches<T>(coll, bias, ref, bs, r, start, end, maxG, minG, thr, matches.data(), count);

    ASSERT_EQ(count, n + 1);
    EXPECT_TRUE(isPowerOfTwo(count));
    EXPECT_LE(count, maxG);
    EXPECT_EQ(matches[maxG].position, (Vec3<int>{-7, -7, -7}));
    EXPECT_EQ(matches[maxG + 1].position, (Vec3<int>{-7, -7, -7}));

    EXPECT_EQ(matches[0].position, ref);
    EXPECT_EQ(matches[0].distance, 0.0f);
    EXPECT_EQ(matches[0].block, coll.getBlock(ref));
    Vec3<int> minCorner = ref;
    for (int i = 1; i < count; ++i) {
        const Candidate<T>& want = sorted[i - 1];
        EXPECT_FLOAT_EQ(matches[i].distance, want.distance) << "member " << i;
        // Equal distances may come out in any order; they are matched by value.
        bool found = false;
        for (const Candidate<T>& c : sorted)
            if (c.distance == matches[i].distance && c.position == matches[i].position)
                found = true;
        EXPECT_TRUE(found) << "member " << i;
        bool tied = (i > 1 && sorted[i - 2].distance == want.distance) ||
                    (i < static_cast<int>(sorted.size()) && sorted[i].distance == want.distance);
        if (!tied) {
            EXPECT_EQ(matches[i].position, want.position) << "member " << i;
        }
        EXPECT_EQ(matches[i].block, coll.getBlock(matches[i].position));
        minCorner.x = std::min(minCorner.x, matches[i].position.x);
        minCorner.y = std::min(minCorner.y, matches[i].position.y);
        minCorner.z = std::min(minCorner.z, matches[i].position.z);
    }
    Vec3<int> zeroSeen{0, 0, 0};
    for (int i = 0; i < count; ++i) {
        const Vec3<int>& rp = matches[i].relativePosition;
        EXPECT_EQ(rp, matches[i].position - minCorner) << "member " << i;
        EXPECT_TRUE(rp >= 0) << "member " << i;
        zeroSeen.x |= rp.x == 0;
        zeroSeen.y |= rp.y == 0;
        zeroSeen.z |= rp.z == 0;
    }
    EXPECT_EQ(zeroSeen, (Vec3<int>{1, 1, 1}));
}

template <class T>
void runBruteForceSweep(std::uint32_t seed) {
    std::mt19937 rng(seed);
    struct Case {
        Vec3<int> imageSize, blockSize, radius;
    };
    const Case cases[] = {
        {{9, 8, 7}, {1, 1, 1}, {2, 2, 2}},   {{10, 9, 8}, {2, 2, 2}, {3, 2, 1}},
        {{11, 10, 9}, {4, 4, 4}, {2, 3, 2}}, {{20, 18, 1}, {8, 8, 1}, {4, 3, 0}},
        {{12, 9, 6}, {3, 2, 1}, {1, 4, 2}},  {{14, 13, 1}, {5, 3, 1}, {0, 2, 3}},
    };
    const int maxGroups[] = {1, 2, 4, 8, 16, 24, 32};
    const int minGroups[] = {0, 1, 3, 4, 6, 40};
    for (const Case& cs : cases) {
        BlockCollection<T> coll;
        fillCollection(coll, cs.imageSize, cs.blockSize, rng);
        const Vec3<int> last = cs.imageSize - cs.blockSize;
        const Vec3<int> refs[] = {{0, 0, 0},
                                  last,
                                  {last.x / 2, last.y / 2, last.z / 2},
                                  {last.x - 1 > 0 ? last.x - 1 : 0, 0, last.z},
                                  {0, last.y, last.z / 2}};
        const Vec3<int>& r = cs.radius;
        const int biasSize = (2 * r.x + 1) * (2 * r.y + 1) * (2 * r.z + 1);
        std::vector<float> zeroBias(biasSize, 0.0f), randomBias(biasSize);
        // Large enough against B * E[(c - r)^2] that some distances go negative.
        const float scale = 0.8f * cs.blockSize.volume();
        for (float& b : randomBias) b = scale * std::uniform_real_distribution<float>(0, 1)(rng);
        const float* biases[] = {zeroBias.data(), randomBias.data(), nullptr};
        for (const Vec3<int>& ref : refs)
            for (const float* bias : biases) {
                std::vector<Candidate<T>> sorted =
                    allCandidates(coll, bias, ref, cs.blockSize, r, cs.imageSize);
                std::vector<float> thresholds = {std::numeric_limits<float>::infinity(),
                                                 -std::numeric_limits<float>::infinity()};
                if (!sorted.empty()) {
                    thresholds.push_back(sorted[sorted.size() / 3].distance);
                    thresholds.push_back(sorted[sorted.size() / 10].distance);
                }
                for (int maxG : maxGroups)
                    for (int minG : minGroups)
                        for (float thr : thresholds)
                            expectMatchesBruteForce(coll, bias, ref, cs.blockSize, r, cs.imageSize,
                                                    maxG, minG, thr);
            }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Search window

TEST(SearchWindow, CutAtTheFacesNotShifted) {
    Vec3<int> start, end;
    setSearchWindow({0, 0, 0}, {2, 2, 2}, {4, 4, 4}, {20, 20, 20}, start, end);
    EXPECT_EQ(start, (Vec3<int>{0, 0, 0}));
    EXPECT_EQ(end, (Vec3<int>{2, 2, 2}));

    // x one below the last origin, radius 3: five positions along x.
    setSearchWindow({15, 8, 8}, {3, 1, 0}, {4, 4, 4}, {20, 20, 20}, start, end);
    EXPECT_EQ(start, (Vec3<int>{12, 7, 8}));
    EXPECT_EQ(end, (Vec3<int>{16, 9, 8}));

    // An image: z is the single origin 0 whatever the radius.
    setSearchWindow({3, 5, 0}, {4, 4, 4}, {8, 8, 1}, {12, 40, 1}, start, end);
    EXPECT_EQ(start, (Vec3<int>{0, 1, 0}));
    EXPECT_EQ(end, (Vec3<int>{4, 9, 0}));
}

// ---------------------------------------------------------------------------
// Candidate queue

TEST(BlockQueue, InsertKeepsLargestOnTopAndPopsInDescendingOrder) {
    std::mt19937 rng(7);
    BlockQueue<float> q;
    std::vector<float> values;
    for (int i = 0; i < 40; ++i) {
        float v = std::uniform_real_distribution<float>(-5, 5)(rng);
        values.push_back(v);
        q.insert({nullptr, v, {i, 0, 0}, {-i, 2, 3}});
        EXPECT_EQ(q.top().distance, *std::max_element(values.begin(), values.end()));
    }
    const std::vector<float> inserted = values;
    std::sort(values.rbegin(), values.rend());
    for (float v : values) {
        ASSERT_FALSE(q.empty());
        const BlockDistance<float>& t = q.top();
        EXPECT_EQ(t.distance, v);
        // The record keeps every field on its way through the heap.
        ASSERT_GE(t.position.x, 0);
        ASSERT_LT(t.position.x, 40);
        EXPECT_EQ(inserted[t.position.x], v);
        EXPECT_EQ(t.relativePosition, (Vec3<int>{-t.position.x, 2, 3}));
        q.pop();
    }
    EXPECT_TRUE(q.empty());
}

TEST(BlockQueue, ReplaceTopKeepsSizeAndTheSmallest) {
    std::mt19937 rng(11);
    BlockQueue<float> q;
    std::vector<float> all;
    const int capacity = 7;
    for (int i = 0; i < 100; ++i) {
        float v = std::uniform_real_distribution<float>(0, 10)(rng);
        all.push_back(v);
        if (q.size() < capacity)
            q.insert({nullptr, v, {i, 1, 2}, {3, 4, 5}});
        else if (v < q.top().distance)
            q.replaceTop({nullptr, v, {i, 1, 2}, {3, 4, 5}});
        EXPECT_LE(q.size(), capacity);
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(q.size(), capacity);
    for (int i = capacity - 1; i >= 0; --i) {
        EXPECT_EQ(q.top().distance, all[i]);
        EXPECT_EQ(q.top().position.y, 1);
        EXPECT_EQ(q.top().relativePosition, (Vec3<int>{3, 4, 5}));
        q.pop();
    }
}

TEST(BlockQueue, ReplaceTopLeavesTheHeapOfPopThenInsert) {
    // Every record in the same place as the two steps leave it, with ties
    // (distances from a few values), NaN among them, and heaps of 1 to 40.
    std::mt19937 rng(5);
    const float values[] = {0.0f, 1.0f, 1.0f, 2.0f, 2.0f, 2.0f, 3.5f, -1.0f, std::nanf("")};
    std::uniform_int_distribution<int> pick(0, 8), length(1, 40);
    for (int trial = 0; trial < 300; ++trial) {
        BlockQueue<float> once, twice;
        const int n = length(rng);
        for (int i = 0; i < n; ++i) {
            const BlockDistance<float> c{
                nullptr, values[pick(rng) % (trial % 50 == 0 ? 9 : 8)], {i, 0, 0}, {0, i, 0}};
            once.insert(c);
            twice.insert(c);
        }
        for (int k = 0; k < 60; ++k) {
            const BlockDistance<float> c{nullptr, values[pick(rng)], {100 + k, 0, 0}, {0, 0, k}};
            once.replaceTop(c);
            twice.pop();
            twice.insert(c);
            ASSERT_EQ(once.size(), twice.size());
            for (int i = 0; i < once.size(); ++i) {
                ASSERT_EQ(once.heap[i].position, twice.heap[i].position)
                    << "trial " << trial << " step " << k << " place " << i;
                ASSERT_EQ(once.heap[i].relativePosition, twice.heap[i].relativePosition);
            }
        }
    }
    // A record of the heap itself may be the candidate: it is taken as it
    // was before the heap moved.
    BlockQueue<float> q, r;
    for (int i = 0; i < 5; ++i) {
        q.insert({nullptr, float(i), {i, 0, 0}, {0, 0, 0}});
        r.insert({nullptr, float(i), {i, 0, 0}, {0, 0, 0}});
    }
    const BlockDistance<float> last = r.heap[4];
    q.replaceTop(q.heap[4]);
    r.pop();
    r.insert(last);
    ASSERT_EQ(q.size(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(q.heap[i].position, r.heap[i].position) << i;
}

TEST(BlockQueue, SiftRulesOnEqualDistances) {
    // Insertion moves up only past a strictly smaller parent.
    BlockQueue<float> q;
    q.insert({nullptr, 3.0f, {1, 0, 0}, {0, 0, 0}});
    q.insert({nullptr, 3.0f, {2, 0, 0}, {0, 0, 0}});
    EXPECT_EQ(q.top().position.x, 1);

    // Removal: the last record takes the root and sinks below an equal child.
    BlockQueue<float> r;
    r.insert({nullptr, 5.0f, {0, 0, 0}, {0, 0, 0}});
    r.insert({nullptr, 3.0f, {1, 0, 0}, {0, 0, 0}});
    r.insert({nullptr, 3.0f, {2, 0, 0}, {0, 0, 0}});
    r.pop();
    EXPECT_EQ(r.top().position.x, 1);
    EXPECT_EQ(r.size(), 2);

    // Equal records never compare smaller than each other.
    BlockDistance<float> a{nullptr, 2.0f, {1, 2, 3}, {0, 0, 0}};
    BlockDistance<float> b{nullptr, 2.0f, {4, 5, 6}, {1, 1, 1}};
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(b < a);
}

// ---------------------------------------------------------------------------
// Scan

TEST(BlockMatching, VisitsTheWholeWindowExceptTheReference) {
    std::mt19937 rng(3);
    BlockCollection<float> coll;
    fillCollection(coll, {20, 20, 20}, {4, 4, 4}, rng);
    Vec3<int> start, end;
    setSearchWindow({0, 0, 0}, {2, 2, 2}, {4, 4, 4}, {20, 20, 20}, start, end);
    std::vector<float> bias(125, 0.0f);
    BlockQueue<float> q =
        blockMatching(coll, bias.data(), {0, 0, 0}, {4, 4, 4}, {2, 2, 2}, start, end, 64);
    EXPECT_EQ(q.size(), 26);
    while (!q.empty()) {
        EXPECT_NE(q.top().position, (Vec3<int>{0, 0, 0}));
        EXPECT_GT(q.top().distance, 0.0f);
        q.pop();
    }
}

TEST(BlockMatching, EmptyQueueCases) {
    std::mt19937 rng(5);
    BlockCollection<float> coll;
    fillCollection(coll, {10, 10, 10}, {2, 2, 2}, rng);
    Vec3<int> start, end;
    std::vector<float> bias(27 * 27, 0.0f);

    // searchRadius 0: only the reference is in the window.
    setSearchWindow({4, 4, 4}, {0, 0, 0}, {2, 2, 2}, {10, 10, 10}, start, end);
    EXPECT_TRUE(
        blockMatching(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, {0, 0, 0}, start, end, 16).empty());
    std::vector<BlockDistance<float>> m(16);
    int count = 0;
    getBlockMatches(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, {0, 0, 0}, start, end, 16, 1, 1e30f,
                    m.data(), count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(m[0].position, (Vec3<int>{4, 4, 4}));
    EXPECT_EQ(m[0].relativePosition, (Vec3<int>{0, 0, 0}));

    // maxGroupSize 1: nothing is looked at even with candidates around.
    setSearchWindow({4, 4, 4}, {3, 3, 3}, {2, 2, 2}, {10, 10, 10}, start, end);
    EXPECT_TRUE(
        blockMatching(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, {3, 3, 3}, start, end, 1).empty());
    getBlockMatches(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, {3, 3, 3}, start, end, 1, 1, 1e30f,
                    m.data(), count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(m[0].distance, 0.0f);

    // An empty z range.
    EXPECT_TRUE(
        blockMatching(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, {3, 3, 3}, {3, 3, 5}, {7, 7, 4}, 16)
            .empty());
}

TEST(BlockMatching, WindowOutsideTheBufferOrTheBiasTableFailsACheck) {
    std::mt19937 rng(12);
    BlockCollection<float> coll;
    fillCollection(coll, {10, 10, 10}, {2, 2, 2}, rng);
    // Buffer only origins 0..5 along x (of 0..8), all of y and z.
    coll._bufferRange.x = 6;
    std::vector<float> bias(7 * 7 * 7, 0.0f);
    const Vec3<int> r{3, 3, 3};
    EXPECT_THROW(blockMatching(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, r, {1, 1, 1}, {7, 7, 7}, 8),
                 CheckFailure);
    EXPECT_NO_THROW(
        blockMatching(coll, bias.data(), {4, 4, 4}, {2, 2, 2}, r, {1, 1, 1}, {5, 7, 7}, 8));
    EXPECT_THROW(blockMatching(coll, bias.data(), {7, 4, 4}, {2, 2, 2}, r, {4, 1, 1}, {5, 7, 7}, 8),
                 CheckFailure);
    // A window reaching past reference + radius would read outside the bias table.
    EXPECT_THROW(
        blockMatching(coll, bias.data(), {2, 4, 4}, {2, 2, 2}, {1, 1, 1}, {0, 3, 3}, {3, 5, 5}, 8),
        CheckFailure);
    EXPECT_THROW(
        blockMatching(coll, bias.data(), {2, 4, 4}, {2, 2, 2}, {1, 1, 1}, {1, 3, 3}, {4, 5, 5}, 8),
        CheckFailure);
}

TEST(BlockMatching, BiasIsSubtractedFromEqualBlocks) {
    BlockCollection<float> coll;
    valueCollection(coll, {3, 1, 1}, 2.0f);
    setValue(coll, {2, 0, 0}, 3.0f);
    // r = (1, 0, 0): entries for d.x = -1, 0, +1.
    std::vector<float> bias = {0.0f, 0.0f, 0.25f};
    Vec3<int> start, end;
    setSearchWindow({1, 0, 0}, {1, 0, 0}, {1, 1, 1}, {3, 1, 1}, start, end);
    BlockQueue<float> q =
        blockMatching(coll, bias.data(), {1, 0, 0}, {1, 1, 1}, {1, 0, 0}, start, end, 8);
    ASSERT_EQ(q.size(), 2);
    EXPECT_EQ(q.top().position, (Vec3<int>{2, 0, 0}));
    EXPECT_FLOAT_EQ(q.top().distance, 0.75f);
    q.pop();
    EXPECT_EQ(q.top().position, (Vec3<int>{0, 0, 0}));
    EXPECT_EQ(q.top().distance, 0.0f);

    // A bias larger than the difference gives a negative distance, kept as is.
    setValue(coll, {2, 0, 0}, 2.0f);
    q = blockMatching(coll, bias.data(), {1, 0, 0}, {1, 1, 1}, {1, 0, 0}, start, end, 8);
    q.pop();
    EXPECT_EQ(q.top().position, (Vec3<int>{2, 0, 0}));
    EXPECT_FLOAT_EQ(q.top().distance, -0.25f);
}

TEST(BlockMatching, FirstScannedWinsTiesForTheLastPlace) {
    // One-coefficient blocks; reference value 0, so distance = value^2.
    BlockCollection<float> coll;
    valueCollection(coll, {4, 4, 4}, 10.0f);
    setValue(coll, {0, 0, 0}, 0.0f);
    setValue(coll, {2, 0, 0}, 1.0f);  // 1
    setValue(coll, {3, 0, 0}, 2.0f);  // 4
    setValue(coll, {0, 1, 0}, 3.0f);  // 9: replaces the 100 of (1, 0, 0)
    setValue(coll, {1, 1, 0}, -3.0f); // 9 again, later in y: stays out
    setValue(coll, {0, 0, 1}, 3.0f);  // 9 again, later in z: stays out
    Vec3<int> start, end, r{3, 3, 3};
    setSearchWindow({0, 0, 0}, r, {1, 1, 1}, {4, 4, 4}, start, end);
    std::vector<float> bias(7 * 7 * 7, 0.0f);
    std::vector<BlockDistance<float>> m(4);
    int count = 0;
    getBlockMatches(coll, bias.data(), {0, 0, 0}, {1, 1, 1}, r, start, end, 4, 0, 0.0f, m.data(),
                    count);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(m[1].position, (Vec3<int>{2, 0, 0}));
    EXPECT_EQ(m[2].position, (Vec3<int>{3, 0, 0}));
    EXPECT_EQ(m[3].position, (Vec3<int>{0, 1, 0}));
    EXPECT_FLOAT_EQ(m[3].distance, 9.0f);

    // Without the y = 1 candidate the next in scan order, (1, 1, 0), takes it.
    setValue(coll, {0, 1, 0}, 10.0f);
    getBlockMatches(coll, bias.data(), {0, 0, 0}, {1, 1, 1}, r, start, end, 4, 0, 0.0f, m.data(),
                    count);
    EXPECT_EQ(m[3].position, (Vec3<int>{1, 1, 0}));
}

namespace {

// Same records in the same heap layout: both scans made the same decisions.
template <class T>
void expectSameQueue(const BlockQueue<T>& a, const BlockQueue<T>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (int i = 0; i < a.size(); ++i) {
        const float da = a.heap[i].distance, db = b.heap[i].distance;
        EXPECT_TRUE(da == db || (std::isnan(da) && std::isnan(db))) << i << ": " << da << " " << db;
        EXPECT_EQ(a.heap[i].position, b.heap[i].position) << i;
        EXPECT_EQ(a.heap[i].block, b.heap[i].block) << i;
    }
}

enum class Data { Random, Quantised, WithNaN };

template <class T>
void runBatchedAgainstPlain(std::uint32_t seed, Data data) {
    const bool quantised = data == Data::Quantised;
    std::mt19937 rng(seed);
    int rowsWrapped = 0, rowsStraight = 0;
    struct Case {
        Vec3<int> imageSize, blockSize, radius, bufferShift;
    };
    // Shifted buffers put the ring's wrap inside the rows of the window.
    const Case cases[] = {
        {{16, 9, 8}, {1, 1, 1}, {5, 2, 2}, {0, 0, 0}},
        {{16, 9, 8}, {1, 1, 1}, {5, 2, 2}, {3, 1, 0}},
        {{18, 9, 7}, {3, 1, 1}, {6, 2, 1}, {5, 0, 2}},
        {{20, 12, 9}, {2, 2, 2}, {7, 3, 2}, {0, 0, 0}},
        {{20, 12, 9}, {4, 4, 4}, {6, 3, 2}, {4, 2, 1}},
        {{30, 20, 1}, {8, 8, 1}, {9, 4, 0}, {7, 0, 0}},
    };
    for (const Case& cs : cases) {
        BlockCollection<T> coll;
        fillCollection(coll, cs.imageSize, cs.blockSize, rng);
        if (quantised) // Small integers: many exact ties.
            for (long i = 0; i < coll.blockCount * coll.totalBlockSize; ++i) {
                T& v = coll.data[i];
                v = randomValue(rng, T{});
                float* f = reinterpret_cast<float*>(&v);
                for (std::size_t k = 0; k < sizeof(T) / sizeof(float); ++k)
                    f[k] = std::floor(f[k] * 2.0f);
            }
        if (data == Data::WithNaN) // Garbage in must not make the two scans differ.
            for (long k = 3; k < coll.blockCount; k += 7)
                reinterpret_cast<float*>(&coll.data[k * coll.totalBlockSize])[0] = std::nanf("");
        const Vec3<int> r = cs.radius;
        const Vec3<int> last = cs.imageSize - cs.blockSize;
        std::vector<float> bias((2 * r.x + 1) * (2 * r.y + 1) * (2 * r.z + 1));
        for (float& b : bias)
            b = quantised ? std::floor(std::uniform_real_distribution<float>(0, 3)(rng))
                          : std::uniform_real_distribution<float>(0, 1)(rng);
        // The buffer holds the window of one reference only, starting at an
        // origin whose ring slot is not 0.
        for (Vec3<int> ref : {Vec3<int>{r.x, r.y, r.z}, last, Vec3<int>{last.x / 2, 0, last.z}}) {
            ref = {std::min(ref.x, last.x), std::min(ref.y, last.y), std::min(ref.z, last.z)};
            Vec3<int> start, end;
            setSearchWindow(ref, r, cs.blockSize, cs.imageSize, start, end);
            coll._bufferStart = start;
            coll._bufferRange = end - start + Vec3<int>{1, 1, 1} + cs.bufferShift;
            if (coll._bufferRange.volume() > coll.blockCount)
                coll._bufferRange = end - start + Vec3<int>{1, 1, 1};
            const bool wraps = coll.getBlock({end.x, start.y, start.z}) -
                                   coll.getBlock({start.x, start.y, start.z}) !=
                               static_cast<long>(end.x - start.x) * coll.totalBlockSize;
            (wraps ? rowsWrapped : rowsStraight)++;
            for (int maxG : {2, 3, 5, 8, 16, 33})
                for (const float* b :
                     {static_cast<const float*>(nullptr), static_cast<const float*>(bias.data())}) {
                    SCOPED_TRACE(testing::Message()
                                 << "maxG " << maxG << " bs " << cs.blockSize.x << " ref " << ref.x
                                 << "," << ref.y << "," << ref.z);
                    expectSameQueue(
                        blockMatching(coll, b, ref, cs.blockSize, r, start, end, maxG),
                        blockMatchingReference(coll, b, ref, cs.blockSize, r, start, end, maxG));
                }
        }
    } // Both ways of reaching the blocks of a row were taken.
    EXPECT_GT(rowsWrapped, 0);
    EXPECT_GT(rowsStraight, 0);
}

} // namespace

TEST(BlockMatching, BatchedScanEqualsThePlainScan) {
    // Both builds of the distance kernel (the AVX2 one where the CPU has it).
    const KernelPath before = kernelPath();
    for (KernelPath path : {KernelPath::Baseline, KernelPath::Avx2}) {
        if (forceKernelPath(path) != path) continue;
        SCOPED_TRACE(path == KernelPath::Avx2 ? "avx2" : "baseline");
        runBatchedAgainstPlain<float>(31, Data::Random);
        runBatchedAgainstPlain<float>(32, Data::Quantised);
        runBatchedAgainstPlain<float>(35, Data::WithNaN);
    }
    forceKernelPath(before);
    runBatchedAgainstPlain<Complex>(33, Data::Random);
    runBatchedAgainstPlain<Complex>(34, Data::Quantised);
    runBatchedAgainstPlain<Complex>(36, Data::WithNaN);
}

TEST(BlockMatching, BatchedScanFollowsATopRaisedByNaN) {
    // A NaN distance breaks the heap order: the 100 hidden below it reaches
    // the top at the first replacement, and the plain scan then takes the 49
    // that the batch's first bound (4) would have thrown out.
    const float v[11] = {0, 1, 2, std::nanf(""), 0.25f, 0.5f, 10, 0.75f, 7, 7.5f, 8};
    BlockCollection<float> coll;
    coll._bufferStart = {0, 0, 0};
    coll._bufferRange = {11, 1, 1};
    coll.totalBlockSize = 4;
    coll.blockCount = 11;
    coll.data = static_cast<float*>(cMalloc(sizeof(float) * 44));
    for (int x = 0; x < 11; ++x) {
        float* b = coll.data + 4 * x;
        b[0] = v[x];
        b[1] = b[2] = b[3] = 0.0f;
    }
    const Vec3<int> bs{4, 1, 1}, r{10, 0, 0}, ref{0, 0, 0}, start{0, 0, 0}, end{10, 0, 0};
    BlockQueue<float> batched = blockMatching(coll, nullptr, ref, bs, r, start, end, 7);
    BlockQueue<float> plain = blockMatchingReference(coll, nullptr, ref, bs, r, start, end, 7);
    expectSameQueue(batched, plain);
    bool has49 = false;
    for (const BlockDistance<float>& m : plain.heap) has49 |= m.distance == 49.0f;
    EXPECT_TRUE(has49);
}

TEST(BlockMatching, AgreesWithBruteForceOnFloatBlocks) {
    runBruteForceSweep<float>(2024);
}

TEST(BlockMatching, AgreesWithBruteForceOnComplexBlocks) {
    runBruteForceSweep<Complex>(77);
}

TEST(BlockMatching, ComplexDistanceIsTheSquaredModulus) {
    BlockCollection<Complex> coll;
    coll._bufferStart = {0, 0, 0};
    coll._bufferRange = {2, 1, 1};
    coll.totalBlockSize = 2;
    coll.blockCount = 2;
    coll.data = static_cast<Complex*>(cMalloc(sizeof(Complex) * 4));
    Complex values[4] = {{1, 2}, {0, 0}, {4, -2}, {1, 1}};
    std::memcpy(coll.data, values, sizeof(values));
    Vec3<int> start{0, 0, 0}, end{1, 0, 0};
    float bias[3] = {0, 0, 0};
    BlockQueue<Complex> q =
        blockMatching(coll, bias, {0, 0, 0}, {2, 1, 1}, {1, 0, 0}, start, end, 4);
    ASSERT_EQ(q.size(), 1);
    // |(3, -4)|^2 + |(1, 1)|^2 = 25 + 2.
    EXPECT_FLOAT_EQ(q.top().distance, 27.0f);
}

// ---------------------------------------------------------------------------
// Pruning and unloading

namespace {

// A queue of candidates with the given distances at positions (i, 2i, 3i) + 1.
BlockQueue<float> queueOf(const std::vector<float>& distances) {
    BlockQueue<float> q;
    for (std::size_t i = 0; i < distances.size(); ++i) {
        int k = static_cast<int>(i) + 1;
        q.insert({nullptr, distances[i], {k, 2 * k, 3 * k}, {0, 0, 0}});
    }
    return q;
}

int unload(const std::vector<float>& distances, int minG, float thr,
           std::vector<BlockDistance<float>>& m, Vec3<int> minCorner = {100, 100, 100}) {
    BlockQueue<float> q = queueOf(distances);
    m.assign(distances.size() + 1, BlockDistance<float>{});
    int count = -1;
    unloadBlockQueue(minG, thr, minCorner, q, m.data(), count);
    EXPECT_TRUE(q.empty());
    return count;
}

std::vector<float> ramp(int n, float from) {
    std::vector<float> v;
    for (int i = 0; i < n; ++i) v.push_back(from + static_cast<float>((i * 7) % n));
    return v;
}

} // namespace

TEST(UnloadBlockQueue, PruningExamples) {
    std::vector<BlockDistance<float>> m;
    // 15 within the threshold: nothing goes, length 16.
    EXPECT_EQ(unload(ramp(15, 0.0f), 1, 100.0f, m), 15);

    // 10 within and 5 above: the 5, then 3 more; 7 stay (length 8), the best.
    std::vector<float> d = ramp(10, 0.0f);
    for (int i = 0; i < 5; ++i) d.push_back(50.0f + i);
    EXPECT_EQ(unload(d, 1, 20.0f, m), 7);
    for (int i = 1; i <= 7; ++i) EXPECT_EQ(m[i].distance, static_cast<float>(i - 1));

    // Everything above: minGroupSize 1 leaves the reference alone.
    EXPECT_EQ(unload(ramp(15, 10.0f), 1, 1.0f, m), 0);
    // minGroupSize 4 stops at 3 candidates although all exceed the threshold.
    EXPECT_EQ(unload(ramp(15, 10.0f), 4, 1.0f, m), 3);
    EXPECT_EQ(m[3].distance, 12.0f);

    // minGroupSize 0, or at least maxGroupSize: unloaded unpruned.
    EXPECT_EQ(unload(ramp(15, 10.0f), 0, 1.0f, m), 15);
    EXPECT_EQ(unload(ramp(15, 10.0f), -3, 1.0f, m), 15);
    EXPECT_EQ(unload(ramp(15, 10.0f), 16, 1.0f, m), 15);
    EXPECT_EQ(unload(ramp(15, 10.0f), 40, 1.0f, m), 15);
}

TEST(UnloadBlockQueue, LengthsOffAPowerOfTwoArePrunedFurther) {
    std::vector<BlockDistance<float>> m;
    // 4 candidates offered with minGroupSize 8: length 5 is cut to 4, worst out.
    EXPECT_EQ(unload({4.0f, 1.0f, 3.0f, 2.0f}, 8, 0.0f, m), 3);
    EXPECT_EQ(m[3].distance, 3.0f);
    // A floor that is not a power of two: 5 candidates (length 6) become 3.
    EXPECT_EQ(unload(ramp(15, 10.0f), 6, 1.0f, m), 3);
    // minGroupSize 0 with 10 candidates: 7 remain.
    EXPECT_EQ(unload(ramp(10, 0.0f), 0, 1e9f, m), 7);
    EXPECT_EQ(unload(ramp(2, 0.0f), 0, 1e9f, m), 1);
    EXPECT_EQ(unload({}, 0, 1e9f, m), 0);
    // Candidates within the threshold but 11 of them: pruned to 7 by the rules.
    EXPECT_EQ(unload(ramp(11, 0.0f), 1, 1e9f, m), 7);
}

TEST(UnloadBlockQueue, OrderAndRelativePositions) {
    std::vector<BlockDistance<float>> m;
    // The caller's minCorner (the reference) takes part in the minimum.
    Vec3<int> ref{3, 1, 10};
    BlockQueue<float> q = queueOf({5.0f, 1.0f, 4.0f});
    m.assign(4, BlockDistance<float>{});
    Vec3<int> minCorner = ref;
    int count = 0;
    unloadBlockQueue(1, 100.0f, minCorner, q, m.data(), count);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(m[1].distance, 1.0f);
    EXPECT_EQ(m[2].distance, 4.0f);
    EXPECT_EQ(m[3].distance, 5.0f);
    EXPECT_EQ(m[1].position, (Vec3<int>{2, 4, 6}));
    EXPECT_EQ(minCorner, (Vec3<int>{1, 1, 3}));
    EXPECT_EQ(m[3].relativePosition, (Vec3<int>{0, 1, 0}));
    EXPECT_EQ(m[1].relativePosition, (Vec3<int>{1, 3, 3}));
}

// ---------------------------------------------------------------------------
// Match store and formGroup

namespace {

struct Store {
    std::vector<int32_t> counts, positions, relatives;
    BlockMatchStorage s{};
    Store(int slots, int maxMatches)
        : counts(slots, -5), positions(3 * slots * maxMatches, -9),
          relatives(3 * slots * maxMatches, -9) {
        s.maxMatches = maxMatches;
        s.matchCounts = counts.data();
        s.matchPositions = positions.data();
        s.matchRelativePositions = relatives.data();
    }
};

Parameters matchParams(const Vec3<int>& imageSize, const Vec3<int>& blockSize, int maxG) {
    Parameters p;
    std::memset(&p, 0, sizeof(p));
    p.imageSize = imageSize;
    p.blockSize = blockSize;
    p.searchRadius = {3, 3, 2};
    p.maxGroupSize = maxG;
    p.minGroupSize = 1;
    p.matchThreshold = 1e30f;
    return p;
}

} // namespace

TEST(MatchStorage, MemberOffsets) {
    EXPECT_EQ(matchStorageIndex(5, 2, 16), 246);
    EXPECT_EQ(matchStorageIndex(0, 0, 16), 0);
    // Beyond the range of int the index stays exact.
    EXPECT_EQ(matchStorageIndex(100000, 3, 40000), (100000LL * 40000 + 3) * 3);

    Store st(8, 16);
    std::vector<BlockDistance<float>> m(4);
    for (int i = 0; i < 4; ++i) {
        m[i].position = {10 * i + 1, 10 * i + 2, 10 * i + 3};
        m[i].relativePosition = {i, i + 1, i + 2};
    }
    storeMatches(st.s, 5, 16, m.data(), 4);
    EXPECT_EQ(st.counts[5], 4);
    EXPECT_EQ(st.counts[4], -5);
    EXPECT_EQ(st.positions[246], 21);
    EXPECT_EQ(st.positions[247], 22);
    EXPECT_EQ(st.positions[248], 23);
    EXPECT_EQ(st.relatives[246], 2);
    EXPECT_EQ(st.relatives[247], 3);
    EXPECT_EQ(st.relatives[248], 4);
    // Nothing of the slot past the group, nor of the next slot, is touched.
    EXPECT_EQ(st.positions[(5 * 16 + 4) * 3], -9);
    EXPECT_EQ(st.positions[6 * 16 * 3], -9);
    EXPECT_EQ(st.positions[5 * 16 * 3 - 1], -9);
}

TEST(MatchStorage, StoreThenReuseReproducesTheGroup) {
    std::mt19937 rng(99);
    const Vec3<int> imageSize{14, 12, 9}, bs{2, 2, 2};
    BlockCollection<float> noisy, pilot;
    fillCollection(noisy, imageSize, bs, rng);
    fillCollection(pilot, imageSize, bs, rng);
    Parameters p = matchParams(imageSize, bs, 8);
    std::vector<float> bias(7 * 7 * 5, 0.0f);
    Store st(3, 8);

    std::vector<BlockDistance<float>> first(8), again(8);
    Memory<float> mem;
    // The records are borrowed: the Memory must not release them.
    struct Borrowed {
        Memory<float>& m;
        ~Borrowed() { m.matches = nullptr; }
    } borrowed{mem};
    mem.matches = first.data();
    formGroup({5, 6, 3}, p, bias.data(), 2, pilot, &st.s, mem);
    const int n = mem.stackSize;
    ASSERT_EQ(n, 8);
    EXPECT_EQ(st.counts[2], n);
    EXPECT_EQ(st.counts[0], -5);
    for (int i = 0; i < n; ++i) {
        long long e = matchStorageIndex(2, i, 8);
        EXPECT_EQ((Vec3<int>{st.positions[e], st.positions[e + 1], st.positions[e + 2]}),
                  first[i].position);
        EXPECT_EQ((Vec3<int>{st.relatives[e], st.relatives[e + 1], st.relatives[e + 2]}),
                  first[i].relativePosition);
    }

    // Reuse: no search; blocks from the collection handed in, distances left.
    st.s.reuseMatches = 1;
    for (auto& r : again) r.distance = -1.5f;
    mem.matches = again.data();
    mem.stackSize = 0;
    formGroup({5, 6, 3}, p, bias.data(), 2, noisy, &st.s, mem);
    ASSERT_EQ(mem.stackSize, n);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(again[i].position, first[i].position);
        EXPECT_EQ(again[i].relativePosition, first[i].relativePosition);
        EXPECT_EQ(again[i].block, noisy.getBlock(first[i].position));
        EXPECT_EQ(again[i].distance, -1.5f);
    }
    EXPECT_EQ(st.s.reuseMatches, 1);
    EXPECT_EQ(st.s.maxMatches, 8);

    // Without storage formGroup searches and yields the same group.
    std::vector<BlockDistance<float>> plain(8);
    mem.matches = plain.data();
    formGroup({5, 6, 3}, p, bias.data(), 2, pilot, nullptr, mem);
    ASSERT_EQ(mem.stackSize, n);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(plain[i].position, first[i].position);
        EXPECT_EQ(plain[i].distance, first[i].distance);
    }
}

TEST(MatchStorage, StoredCountsAreCutToAPowerOfTwoWithinMaxGroupSize) {
    std::mt19937 rng(1);
    const Vec3<int> imageSize{8, 8, 8}, bs{1, 1, 1};
    BlockCollection<float> coll;
    fillCollection(coll, imageSize, bs, rng);
    Store st(2, 32);
    st.s.reuseMatches = 1;
    // Members at (i, 7 - i, 2), relative positions as a full group would have.
    for (int i = 0; i < 32; ++i) {
        long long e = matchStorageIndex(1, i, 32);
        st.positions[e] = i % 8;
        st.positions[e + 1] = 7 - i % 8;
        st.positions[e + 2] = 2;
        st.relatives[e] = i % 8;
        st.relatives[e + 1] = 7 - i % 8;
        st.relatives[e + 2] = 0;
    }
    std::vector<BlockDistance<float>> m(16);

    st.counts[1] = 3;
    EXPECT_EQ(loadMatches(st.s, 1, 16, coll, m.data()), 2);
    // The kept members' relative positions are taken from their own minimum.
    EXPECT_EQ(m[0].relativePosition, (Vec3<int>{0, 1, 0}));
    EXPECT_EQ(m[1].relativePosition, (Vec3<int>{1, 0, 0}));

    st.counts[1] = 16;
    EXPECT_EQ(loadMatches(st.s, 1, 16, coll, m.data()), 16);
    EXPECT_EQ(m[15].relativePosition, (Vec3<int>{7, 0, 0}));

    st.counts[1] = 30;
    EXPECT_EQ(loadMatches(st.s, 1, 16, coll, m.data()), 16);

    st.counts[1] = 0;
    EXPECT_THROW(loadMatches(st.s, 1, 16, coll, m.data()), CheckFailure);
    st.counts[1] = -4;
    EXPECT_THROW(loadMatches(st.s, 1, 16, coll, m.data()), CheckFailure);
}

TEST(MatchStorage, UnsoundStoresFailACheckInsteadOfCorrupting) {
    std::mt19937 rng(4);
    const Vec3<int> imageSize{8, 8, 8}, bs{1, 1, 1};
    BlockCollection<float> coll;
    fillCollection(coll, imageSize, bs, rng);
    std::vector<BlockDistance<float>> m(16);
    m[0].position = {1, 1, 1};

    // Slots narrower than a group would overwrite the next slot.
    Store narrow(4, 4);
    EXPECT_THROW(storeMatches(narrow.s, 1, 8, m.data(), 1), CheckFailure);
    EXPECT_EQ(narrow.counts[1], -5);
    EXPECT_EQ(narrow.positions[12], -9);
    EXPECT_THROW(storeMatches(narrow.s, 1, 4, m.data(), 5), CheckFailure);

    // A stored position outside the buffer on one axis only.
    Store st(2, 4);
    st.s.reuseMatches = 1;
    st.counts[0] = 2;
    int vals[6] = {1, 1, 1, 8, 1, 1};
    for (int i = 0; i < 6; ++i) st.positions[i] = st.relatives[i] = vals[i];
    EXPECT_THROW(loadMatches(st.s, 0, 4, coll, m.data()), CheckFailure);
    st.positions[3] = 7;
    EXPECT_EQ(loadMatches(st.s, 0, 4, coll, m.data()), 2);
    EXPECT_EQ(m[1].block, coll.getBlock({7, 1, 1}));

    Store nullArrays(1, 4);
    nullArrays.s.matchPositions = nullptr;
    EXPECT_THROW(storeMatches(nullArrays.s, 0, 4, m.data(), 1), CheckFailure);
}

TEST(GetBlockMatches, RejectsAGroupWithoutRoom) {
    std::mt19937 rng(8);
    BlockCollection<float> coll;
    fillCollection(coll, {6, 6, 6}, {1, 1, 1}, rng);
    BlockDistance<float> m[1];
    int count = 0;
    EXPECT_THROW(getBlockMatches(coll, nullptr, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {0, 0, 0},
                                 {2, 2, 2}, 0, 1, 1.0f, m, count),
                 CheckFailure);
}

TEST(Helpers, LargestPowerOfTwo) {
    const int in[] = {-3, 0, 1, 2, 3, 4, 5, 7, 8, 31, 32, 33, 1 << 30, (1 << 30) + 5, 2147483647};
    const int want[] = {0, 0, 1, 2, 2, 4, 4, 4, 8, 16, 32, 32, 1 << 30, 1 << 30, 1 << 30};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(largestPowerOfTwoAtMost(in[i]), want[i]) << in[i];
}

// ================================================================== distance bias

TEST(DistanceBias, ZerosUnlessStageOneWithAPositiveFactor) {
    Parameters p;
    std::memset(&p, 0, sizeof p);
    p.imageSize = {32, 32, 1};
    p.blockSize = {8, 8, 1};
    p.step = {3, 3, 1};
    p.psdResampleSize = {16, 16, 1};
    p.psdSize = {16, 16, 1};
    p.psdSymmetry = true;
    p.maxGroupSize = 16;
    p.varianceGroupSize = 4;
    p.searchRadius = {8, 8, 0};
    const float sigma2 = 0.04f;
    std::vector<float> psd(256, sigma2 * 256);
    const Vec3<int> work = workingSize(p);
    float* k3 = nullptr;
    computeK3fT3<float>(psd.data(), p.psdSize, p.psdResampleSize, work, p.blockSize, DEFAULT_FWD_2D,
                        k3);
    ASSERT_NE(k3, nullptr);
    TempMemory<float> temp = createTempMemory<float>(p);
    ASSERT_TRUE(temp.valid);
    const long long n = distanceBiasEntries(p.searchRadius);
    std::vector<float> bias(n, -1.0f);

    p.matchNoiseFactor = 2.0f;
    ASSERT_TRUE(fillDistanceBias(Wie, p, work, k3, temp, bias.data()));
    for (float b : bias) EXPECT_EQ(b, 0.0f);
    p.matchNoiseFactor = std::nanf("");
    std::fill(bias.begin(), bias.end(), -1.0f);
    ASSERT_TRUE(fillDistanceBias(HT, p, work, k3, temp, bias.data()));
    for (float b : bias) EXPECT_EQ(b, 0.0f);

    p.matchNoiseFactor = 2.0f;
    ASSERT_TRUE(fillDistanceBias(HT, p, work, k3, temp, bias.data()));
    auto at = [&](int dx, int dy) { return bias[(dy + 8) * 17 + (dx + 8)]; };
    EXPECT_NEAR(at(0, 0), 0.0f, 1e-6f); // a block is at distance 0 from itself
    // White noise: E|a - b|^2 = 2 * 64 * sigma^2 for every shift, overlapping
    // or not (orthonormal transforms), times the factor 2.
    const float expected = 2.0f * 64 * sigma2 * 2.0f;
    for (int dy = -8; dy <= 8; ++dy)
        for (int dx = -8; dx <= 8; ++dx)
            if (dx != 0 || dy != 0) {
                EXPECT_NEAR(at(dx, dy), expected, 0.01f * expected) << dx << ", " << dy;
            }
    cFree(k3);
}
