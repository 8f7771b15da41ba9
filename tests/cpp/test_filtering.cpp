#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <vector>

#include "blocks/block_collection.h"
#include "blocks/group_transforms.h"
#include "core/check.h"
#include "core/image_data.h"
#include "core/memory.h"
#include "filtering/aggregation.h"
#include "filtering/group_filters.h"
#include "filtering/process_reference_location.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"

using namespace vexa;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

ImageDataMutable<float> zeroVolume(const Vec3<int>& size) {
    return ImageDataMutable<float>::allocateZeroed(size);
}

BlockDistance<float> member(const Vec3<int>& position) {
    BlockDistance<float> m;
    m.position = position;
    return m;
}

} // namespace

// ---------------------------------------------------------------- threshold

TEST(HardThreshold, StrictComparisonKeepsTheBoundaryAndZeroesBelowIt) {
    // threshold 4, variance 1: c^2 == 4 survives, c^2 slightly below goes.
    std::vector<float> c = {0.0f, 2.0f, -2.0f, 1.999f, -1.999f, 3.0f};
    std::vector<float> v = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    hardThresholdGroup(c.data(), v.data(), 6, 4.0f);
    EXPECT_EQ(c[1], 2.0f);
    EXPECT_EQ(c[2], -2.0f);
    EXPECT_EQ(v[1], 1.0f);
    EXPECT_EQ(c[3], 0.0f);
    EXPECT_EQ(c[4], 0.0f);
    EXPECT_EQ(v[3], 0.0f);
    EXPECT_EQ(v[4], 0.0f);
    EXPECT_EQ(c[5], 3.0f);
    EXPECT_EQ(v[5], 1.0f);
}

TEST(HardThreshold, ElementZeroAndNaNAreKept) {
    std::vector<float> c = {0.01f, kNaN, 0.5f, 0.5f};
    std::vector<float> v = {100.0f, 1.0f, kNaN, 1.0f};
    hardThresholdGroup(c.data(), v.data(), 4, 9.0f);
    EXPECT_EQ(c[0], 0.01f); // far below the threshold, still kept
    EXPECT_EQ(v[0], 100.0f);
    EXPECT_TRUE(std::isnan(c[1]));
    EXPECT_EQ(c[2], 0.5f); // NaN variance: comparison false, kept
    EXPECT_EQ(c[3], 0.0f);
}

TEST(HardThreshold, ZeroThresholdRemovesNothing) {
    std::vector<float> c = {1.0f, 1e-20f, -1e-30f, 0.0f};
    std::vector<float> v = {1.0f, 5.0f, 5.0f, 5.0f};
    const std::vector<float> before = c;
    hardThresholdGroup(c.data(), v.data(), 4, 0.0f);
    EXPECT_EQ(c, before);
    EXPECT_EQ(v[1], 5.0f);
}

// ---------------------------------------------------------------- sharpening

TEST(Sharpen, ZeroMeanTermSkipsEverything) {
    std::vector<float> c = {0.0f, 3.0f, -2.0f, 5.0f};
    std::vector<float> v = {1.0f, 2.0f, 3.0f, 4.0f};
    const std::vector<float> c0 = c, v0 = v;
    sharpenGroup(c.data(), v.data(), 4, Vec3<int>{2, 2, 1}, 0.5f, 0.5f, true);
    EXPECT_EQ(c, c0);
    EXPECT_EQ(v, v0);
}

TEST(Sharpen, AlphaOneIsTheIdentityForValuesAndVariances) {
    std::vector<float> c = {2.5f, 3.0f, -2.0f, 0.0f, 0.75f, -6.0f, 1.0f, 4.0f};
    std::vector<float> v = {0.3f, 2.0f, 3.0f, 4.0f, 0.5f, 0.25f, 1.5f, 2.0f};
    const std::vector<float> c0 = c, v0 = v;
    sharpenGroup(c.data(), v.data(), 8, Vec3<int>{2, 2, 2}, 1.0f, 1.0f, true);
    for (int k = 0; k < 8; ++k) {
        EXPECT_NEAR(c[k], c0[k], 1e-5f * std::fabs(c0[k])) << k;
        EXPECT_NEAR(v[k], v0[k], 1e-5f * v0[k]) << k;
    }
}

TEST(Sharpen, FirstZSliceUsesItsOwnAlphaAndSignIsKept) {
    // Block 2x1x2: elements 0, 1 are in z slice 0, elements 2, 3 in slice 1.
    std::vector<float> c = {4.0f, 9.0f, -9.0f, 16.0f};
    std::vector<float> v = {1.0f, 1.0f, 1.0f, 1.0f};
    sharpenGroup(c.data(), v.data(), 4, Vec3<int>{2, 1, 2}, 0.5f, 0.25f, false);
    // m = sign(c) d^(1-e) |c|^e with d = 4.
    EXPECT_NEAR(c[1], std::pow(4.0f, 0.75f) * std::pow(9.0f, 0.25f), 1e-4f);
    EXPECT_NEAR(c[2], -std::pow(4.0f, 0.5f) * std::pow(9.0f, 0.5f), 1e-4f);
    EXPECT_NEAR(c[3], 2.0f * 4.0f, 1e-4f);
    EXPECT_EQ(v[1], 1.0f); // variances untouched without sharpenVariances
}

TEST(Sharpen, VarianceRescaleFollowsTheFormula) {
    const float a = 0.6f, d = 2.0f, ck = 3.0f, s0 = 0.5f, sk = 0.8f;
    std::vector<float> c = {d, 0.0f, ck, 0.0f};
    std::vector<float> v = {s0, 9.0f, sk, 9.0f};
    // 2x1x2 block, element 2 lies in z slice 1 and uses alpha.
    sharpenGroup(c.data(), v.data(), 4, Vec3<int>{2, 1, 2}, a, 0.1f, true);
    const float l = std::pow(ck, a);
    const float m = std::pow(d, 1.0f - a) * l;
    const float expected = l * l *
                           ((1 - a) * (1 - a) * std::pow(d, -2 * a) * s0 +
                            a * a * std::pow(d, 2 - 2 * a) * sk / (m * m));
    EXPECT_NEAR(c[2], m, 1e-5f);
    EXPECT_NEAR(v[2], expected, 1e-5f);
    EXPECT_EQ(v[1], 9.0f); // zero coefficients keep their variance
    EXPECT_EQ(v[0], s0);
}

// ---------------------------------------------------------------- Wiener

TEST(Wiener, ZeroPilotZeroesAndLargePilotKeeps) {
    std::vector<float> pilot = {0.0f, 1000.0f, 1.0f, 0.0f};
    std::vector<float> noisy = {5.0f, 7.0f, 2.0f, 3.0f};
    std::vector<float> var = {1.0f, 1.0f, 0.0f, 2.0f};
    wienerShrinkGroup(pilot.data(), noisy.data(), var.data(), 4, 1.0f);
    EXPECT_EQ(noisy[0], 0.0f); // element 0 is shrunk as well
    EXPECT_EQ(var[0], 0.0f);
    EXPECT_NEAR(noisy[1], 7.0f, 7e-6f * 7.0f);
    EXPECT_NEAR(var[1], 1.0f, 1e-5f);
    // Zero variance: floored to 1e-8 in the weight only, stored variance stays 0.
    EXPECT_NEAR(noisy[2], 2.0f / (1.0f + 1e-8f), 1e-6f);
    EXPECT_EQ(var[2], 0.0f);
    EXPECT_EQ(noisy[3], 0.0f);
}

TEST(Wiener, WeightAndVarianceScaling) {
    std::vector<float> pilot = {2.0f};
    std::vector<float> noisy = {3.0f};
    std::vector<float> var = {0.5f};
    wienerShrinkGroup(pilot.data(), noisy.data(), var.data(), 1, 2.0f);
    const float w = 4.0f / (0.5f * 2.0f + 4.0f);
    EXPECT_FLOAT_EQ(noisy[0], 3.0f * w);
    EXPECT_FLOAT_EQ(var[0], w * w * 0.5f);
}

// ---------------------------------------------------------------- block variances

TEST(BlockVariances, SingleBlockUsesTheSquaredGroupEntry) {
    std::vector<float> var = {0.5f, 1.0f, 1.5f, 2.0f};
    float layer = 0, v = 0;
    const float h = 0.5f;
    const float total = computeBlockVariances(var.data(), 1, 4, &h, &layer, &v);
    EXPECT_FLOAT_EQ(layer, 5.0f);
    EXPECT_FLOAT_EQ(v, 5.0f * 0.25f);
    EXPECT_FLOAT_EQ(total, v);
}

TEST(BlockVariances, OnlyTheMeanTermLeftSpreadsByTheFirstColumn) {
    // Two blocks of 2 coefficients, everything but element 0 removed.
    std::vector<float> var = {3.0f, 0.0f, 0.0f, 0.0f};
    float layers[2], v[2];
    computeBlockVariances(var.data(), 2, 2, HAAR_2_INV, layers, v);
    EXPECT_FLOAT_EQ(layers[0], 3.0f);
    EXPECT_FLOAT_EQ(layers[1], 0.0f);
    EXPECT_FLOAT_EQ(v[0], 3.0f * HAAR_2_INV[0] * HAAR_2_INV[0]);
    EXPECT_FLOAT_EQ(v[1], 3.0f * HAAR_2_INV[2] * HAAR_2_INV[2]);
}

TEST(BlockVariances, EverySumIsOneChainInIndexOrder) {
    // Group lengths with and without a remainder after the blocks of four
    // chains, against the one-sum-at-a-time loops, bit for bit.
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> u(0.0f, 2.0f), g(-1.0f, 1.0f);
    for (int n : {2, 5, 16, 32})
        for (int coefficients : {3, 64, 216}) {
            std::vector<float> var(std::size_t(n) * coefficients), inv(std::size_t(n) * n);
            for (float& x : var) x = u(rng);
            for (float& x : inv) x = g(rng);
            std::vector<float> layers(n), v(n), wantLayers(n), wantV(n);
            const float total = computeBlockVariances(var.data(), n, coefficients, inv.data(),
                                                      layers.data(), v.data());
            float wantTotal = 0.0f;
            for (int k = 0; k < n; ++k) {
                float sum = 0.0f;
                for (int i = 0; i < coefficients; ++i)
                    sum += var[std::size_t(k) * coefficients + i];
                wantLayers[k] = sum;
            }
            for (int j = 0; j < n; ++j) {
                float sum = 0.0f;
                for (int k = 0; k < n; ++k) {
                    const float h = inv[std::size_t(j) * n + k];
                    sum += wantLayers[k] * h * h;
                }
                wantV[j] = sum;
                wantTotal += sum;
            }
            for (int k = 0; k < n; ++k) {
                EXPECT_EQ(std::memcmp(&layers[k], &wantLayers[k], sizeof(float)), 0)
                    << "n " << n << " layer " << k;
                EXPECT_EQ(std::memcmp(&v[k], &wantV[k], sizeof(float)), 0)
                    << "n " << n << " block " << k;
            }
            EXPECT_EQ(std::memcmp(&total, &wantTotal, sizeof(float)), 0) << "n " << n;
        }
}

// ---------------------------------------------------------------- aggregation

TEST(Aggregation, OneBlockDividesBothVolumesByItsVariance) {
    const Vec3<int> size{4, 3, 2}, block{2, 2, 1};
    auto out = zeroVolume(size), wts = zeroVolume(size);
    BlockDistance<float> m = member({1, 1, 1});
    const float est[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    const float win[4] = {0.5f, 1.0f, 1.5f, 2.0f};
    const float v = 0.25f;
    aggregateGroup(&m, 1, est, &v, win, block, out, wts);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            const int i = x + 2 * y;
            const int at = out.convertToIndex({1 + x, 1 + y, 1});
            EXPECT_FLOAT_EQ(out._data[at], est[i] * win[i] / v);
            EXPECT_FLOAT_EQ(wts._data[at], win[i] / v);
        }
    EXPECT_EQ(out._data[0], 0.0f);
    EXPECT_EQ(wts._data[out.convertToIndex({1, 1, 0})], 0.0f);
}

TEST(Aggregation, ZeroVarianceMemberUsesTheTwoFloors) {
    const Vec3<int> size{2, 1, 1}, block{1, 1, 1};
    auto out = zeroVolume(size), wts = zeroVolume(size);
    BlockDistance<float> m[2] = {member({0, 0, 0}), member({1, 0, 0})};
    const float est[2] = {2.0f, 3.0f};
    const float win[1] = {1.0f};
    const float v[2] = {0.0f, 4.0f}; // S / N = 2, floor 2e-4
    aggregateGroup(m, 2, est, v, win, block, out, wts);
    EXPECT_FLOAT_EQ(out._data[0], 2.0f / 1e-8f);
    EXPECT_FLOAT_EQ(wts._data[0], 1.0f / 2e-4f);
    EXPECT_FLOAT_EQ(out._data[1], 3.0f / 4.0f);
    EXPECT_FLOAT_EQ(wts._data[1], 1.0f / 4.0f);
}

TEST(Aggregation, TwoGroupsSharingAVoxelBothContribute) {
    const Vec3<int> size{3, 1, 1}, block{2, 1, 1};
    auto out = zeroVolume(size), wts = zeroVolume(size);
    const float win[2] = {1.0f, 1.0f};
    BlockDistance<float> a = member({0, 0, 0}), b = member({1, 0, 0});
    const float estA[2] = {1.0f, 2.0f}, estB[2] = {4.0f, 6.0f};
    const float vA = 1.0f, vB = 2.0f;
    aggregateGroup(&a, 1, estA, &vA, win, block, out, wts);
    aggregateGroup(&b, 1, estB, &vB, win, block, out, wts);
    EXPECT_FLOAT_EQ(out._data[1], 2.0f / 1.0f + 4.0f / 2.0f);
    EXPECT_FLOAT_EQ(wts._data[1], 1.0f + 0.5f);
    EXPECT_FLOAT_EQ(out._data[2], 3.0f);
}

TEST(Aggregation, VectorisedAgreesWithReference) {
    // Rows of several lengths, the same bits as the element-by-element version;
    // divisors all different, then in runs shared by several members, with a
    // zero variance (the floor) and a NaN among them.
    // Widths 4, 6 and 8 take rows of fixed length, the others the general loop;
    // a ring of weights (whole slices of a volume, whole rows of an image)
    // wraps the members' rows.
    for (bool shared : {false, true})
        for (bool ring : {false, true})
            for (Vec3<int> block : {Vec3<int>{8, 4, 3}, Vec3<int>{6, 6, 6}, Vec3<int>{9, 8, 8},
                                    Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}, Vec3<int>{4, 5, 1}}) {
            const Vec3<int> size{19, 17, block.z == 1 ? 1 : 11};
            std::mt19937 rng(7);
            std::uniform_real_distribution<float> u(-1.0f, 1.0f), pos(0.0f, 1.0f);
            const int n = 8, bc = block.volume();
            std::vector<float> est(n * bc), win(bc), v(n);
            std::vector<BlockDistance<float>> members(n);
            for (float& e : est) e = u(rng);
            for (float& w : win) w = 0.1f + pos(rng);
            for (int j = 0; j < n; ++j) {
                v[j] = j == 3 ? 0.0f : 0.01f + pos(rng);
                if (shared)
                    v[j] = j == 6              ? std::nanf("")
                           : (j < 3 || j == 5) ? 0.25f
                           : j == 7            ? v[4]
                                               : v[j];
                members[j] = member({static_cast<int>(pos(rng) * (size.x - block.x)),
                                     static_cast<int>(pos(rng) * (size.y - block.y)),
                                     static_cast<int>(pos(rng) * (size.z - block.z))});
            }
            auto o1 = zeroVolume(size), w1 = zeroVolume(size), o2 = zeroVolume(size),
                 w2 = zeroVolume(size);
            if (ring)
                w1._ringElements = w2._ringElements =
                    size.z == 1 ? static_cast<long long>(size.x) * (block.y + 2)
                                : static_cast<long long>(size.x) * size.y * (block.z + 1);
            aggregateGroup(members.data(), n, est.data(), v.data(), win.data(), block, o1, w1);
            aggregateGroupReference(members.data(), n, est.data(), v.data(), win.data(), block, o2,
                                    w2);
            const int count = size.volume();
            EXPECT_EQ(0, std::memcmp(o1._data, o2._data, sizeof(float) * count))
                << "block " << block.x << "x" << block.y << "x" << block.z << " shared " << shared;
            EXPECT_EQ(0, std::memcmp(w1._data, w2._data, sizeof(float) * count))
                << "shared " << shared << " ring " << ring;
        }
}

TEST(Aggregation, MemberOutsideTheVolumeFailsItsCheck) {
    const Vec3<int> size{4, 4, 1}, block{2, 2, 1};
    auto out = zeroVolume(size), wts = zeroVolume(size);
    const float est[4] = {1, 1, 1, 1}, win[4] = {1, 1, 1, 1}, v = 1.0f;
    BlockDistance<float> m = member({3, 0, 0});
    EXPECT_THROW(aggregateGroup(&m, 1, est, &v, win, block, out, wts), CheckFailure);
    m = member({0, -1, 0});
    EXPECT_THROW(aggregateGroupReference(&m, 1, est, &v, win, block, out, wts), CheckFailure);
    for (int i = 0; i < size.volume(); ++i) EXPECT_EQ(out._data[i], 0.0f);
}

// ---------------------------------------------------------------- whole filter

namespace {

// A 2x2x1-block volume whose collection is filled by hand with the identity
// transform, so coefficients equal samples.
struct SmallFilterSetup {
    Parameters params;
    TransformsMeta<float> meta;
    std::vector<float> volume;
    BlockCollection<float> collection;
    BlockCollection<float> pilotCollection;
    std::vector<float> window{1.0f, 0.5f, 0.25f, 2.0f};
    std::vector<float> localVar;
    std::vector<float> k3fT3;
    const float identity2[4] = {1.0f, 0.0f, 0.0f, 1.0f};

    SmallFilterSetup() {
        std::memset(&params, 0, sizeof params);
        params.blockSize = {2, 2, 1};
        params.imageSize = {3, 3, 1};
        params.psdResampleSize = {4, 4, 1};
        params.psdSize = {4, 4, 1};
        params.maxGroupSize = 1; // only the reference: groups of one block
        params.varianceGroupSize = 0;
        params.step = {1, 1, 1};
        params.searchRadius = {1, 1, 0};
        params.minGroupSize = 1;
        params.matchThreshold = 0.0f;
        params.wienerFactor = 1.0f;
        volume = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        meta.forward = {identity2, identity2, ONE};
        meta.inverse = {identity2, identity2, ONE};
        meta.groupForward = HAAR_NL_FWD; // no length-1 entry
        meta.groupInverse = HAAR_NL_INV;
        meta.window = window.data();
        meta.forwardKind = ARB_TRANSFORMS;
        meta.inverseKind = {TransformsMetas::ARBITRARY_INV, TransformsMetas::ARBITRARY_INV,
                            TransformsMetas::ARBITRARY_INV};
        meta.groupForwardKind = nullptr;
        meta.groupInverseKind = nullptr;
        localVar = {0.5f, 0.5f, 0.5f, 0.5f};
        k3fT3.assign(4 * 16, 0.0f);
        fill(collection, volume);
    }

    void fill(BlockCollection<float>& c, const std::vector<float>& samples) {
        long total = 0;
        ASSERT_NE(nullptr, c.allocate(4, 4, total));
        c._bufferStart = {0, 0, 0};
        c._bufferRange = {2, 2, 1};
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x) {
                float* block = c.data + (y * 2 + x) * 4;
                for (int i = 0; i < 4; ++i) block[i] = samples[(x + i % 2) + 3 * (y + i / 2)];
            }
        c.hasData = true;
    }
};

} // namespace

TEST(ProcessReferenceLocation, GroupOfOneUsesTheIdentityWhenTablesLackLengthOne) {
    SmallFilterSetup s;
    Memory<float> memory = allocateMemory<float>(s.params);
    TempMemory<float> temp = createTempMemory<float>(s.params);
    ASSERT_TRUE(memory.valid && temp.valid);
    auto out = zeroVolume(s.params.imageSize), wts = zeroVolume(s.params.imageSize);
    std::vector<float> bias(3 * 3, 0.0f);
    processReferenceLocation<HT, float>({1, 1, 0}, s.params, s.meta, bias.data(), s.k3fT3.data(),
                                        s.localVar.data(), 4, s.collection, out, wts, memory, temp,
                                        nullptr, nullptr);
    EXPECT_EQ(memory.stackSize, 1);
    // Nothing thresholded: the block comes back whole, weighted by 1 / (4 * 0.5).
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            const int at = (1 + x) + 3 * (1 + y);
            const float w = s.window[x + 2 * y];
            EXPECT_NEAR(out._data[at], s.volume[at] * w / 2.0f, 1e-5f);
            EXPECT_NEAR(wts._data[at], w / 2.0f, 1e-6f);
        }
    EXPECT_EQ(wts._data[0], 0.0f);
}

TEST(ProcessReferenceLocation, WienerShrinksTheNoisyBlockByThePilot) {
    SmallFilterSetup s;
    std::vector<float> pilot(9, 1.0f);
    s.fill(s.pilotCollection, pilot);
    Memory<float> memory = allocateMemory<float>(s.params);
    TempMemory<float> temp = createTempMemory<float>(s.params);
    ASSERT_TRUE(memory.valid && temp.valid);
    auto out = zeroVolume(s.params.imageSize), wts = zeroVolume(s.params.imageSize);
    std::vector<float> bias(3 * 3, 0.0f);
    processReferenceLocation<Wie, float>({0, 0, 0}, s.params, s.meta, bias.data(), s.k3fT3.data(),
                                         s.localVar.data(), 0, s.collection, out, wts, memory, temp,
                                         &s.pilotCollection, nullptr);
    // Pilot 1, variance 0.5, factor 1: W = 1 / 1.5; residual variance 4 * W^2 * 0.5.
    const float w = 1.0f / 1.5f;
    const float v = 4.0f * w * w * 0.5f;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            const int at = x + 3 * y;
            const float win = s.window[x + 2 * y];
            EXPECT_NEAR(out._data[at], s.volume[at] * w * win / v, 1e-4f);
            EXPECT_NEAR(wts._data[at], win / v, 1e-5f);
        }
}
