#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/allocator.h"
#include "core/memory.h"
#include "interface/parameters.h"

using namespace vexa;

namespace {

Parameters makeParams(Vec3<int> block, int maxGroup, Vec3<int> psdResample, bool symmetry,
                      int varianceGroup = 8) {
    Parameters p{};
    p.blockSize = block;
    p.maxGroupSize = maxGroup;
    p.psdResampleSize = psdResample;
    p.psdSymmetry = symmetry;
    p.varianceGroupSize = varianceGroup;
    return p;
}

// Records the byte count of every allocation and fails those the predicate picks.
struct AllocationLog {
    std::vector<std::size_t> sizes;

    explicit AllocationLog(std::function<bool(std::size_t)> fail = nullptr) {
        setAllocationFailureHook([this, fail](std::size_t bytes) {
            sizes.push_back(bytes);
            return fail ? fail(bytes) : false;
        });
    }
    ~AllocationLog() { setAllocationFailureHook(nullptr); }

    std::vector<std::size_t> sorted() const {
        std::vector<std::size_t> s = sizes;
        std::sort(s.begin(), s.end());
        return s;
    }
};

std::vector<std::size_t> sortedSizes(std::vector<std::size_t> s) {
    std::sort(s.begin(), s.end());
    return s;
}

} // namespace

TEST(WorkingWidth, FoldsOnlySymmetricSquareGridsAndNeverWidens) {
    struct Case {
        Vec3<int> r;
        bool symmetry;
        int expected;
    };
    const Case cases[] = {
        {{8, 8, 8}, true, 5},     {{8, 8, 8}, false, 8},  {{8, 8, 1}, true, 5},
        {{8, 4, 8}, true, 8},     {{8, 4, 8}, false, 8},  {{7, 7, 7}, true, 5},
        {{8, 8, 4}, true, 8},     {{16, 16, 1}, true, 9}, {{4, 4, 4}, true, 3},
        {{3, 3, 3}, true, 3},     {{2, 2, 2}, true, 2},   {{1, 1, 1}, true, 1},
        {{64, 64, 64}, true, 33},
    };
    for (const Case& c : cases) {
        const Parameters p = makeParams({4, 4, 4}, 16, c.r, c.symmetry);
        EXPECT_EQ(workingWidthX(p), c.expected)
            << "R = (" << c.r.x << ", " << c.r.y << ", " << c.r.z << ") symmetry " << c.symmetry;
    }
}

TEST(Memory, GroupBuffersAreSizedForTheLargestGroup) {
    const Parameters p = makeParams({4, 4, 4}, 16, {8, 8, 8}, true);
    AllocationLog log;
    Memory<float> m = allocateMemory<float>(p);
    ASSERT_TRUE(m.valid);
    // Four cubes of 4*4*4*16 = 1024 floats and 16 block variances.
    EXPECT_EQ(log.sorted(), sortedSizes({4096, 4096, 4096, 4096, 64}));
    for (const Cube4D<float>* c : {&m.group, &m.noisyGroup, &m.estimates, &m.variances}) {
        EXPECT_EQ(c->size.x, 4);
        EXPECT_EQ(c->size.y, 4);
        EXPECT_EQ(c->size.z, 4);
        EXPECT_EQ(c->size.w, 16);
        ASSERT_NE(c->data, nullptr);
        std::fill(c->data, c->data + 1024, 1.0f);
    }
    for (int i = 0; i < 16; ++i) {
        m.matches[i].distance = static_cast<float>(i);
        m.blockVariances[i] = 0.0f;
    }
    EXPECT_EQ(m.stackSize, 0);
    EXPECT_EQ(m.workSize, (Vec3<int>{0, 0, 0}));
    m.free();
}

TEST(Memory, FailedAllocationGivesInvalidAndFreeIsSafe) {
    const Parameters p = makeParams({8, 8, 1}, 32, {8, 8, 1}, false);
    int calls = 0;
    AllocationLog log([&](std::size_t) { return ++calls == 3; });
    Memory<float> m = allocateMemory<float>(p);
    EXPECT_FALSE(m.valid);
    EXPECT_EQ(m.estimates.data, nullptr);
    EXPECT_NE(m.group.data, nullptr);
    EXPECT_NE(m.blockVariances, nullptr);
    m.free();
    m.free(); // pointers were cleared, a second release is harmless
}

TEST(Memory, SizesBeyondIntAreRefusedBeforeAllocating) {
    struct Case {
        Vec3<int> block;
        int group;
    };
    const Case cases[] = {
        {{2000, 2000, 2000}, 16}, // 8e9 floats per cube
        {{64, 64, 64}, 16384},    // 2^32
        {{4, -4, 4}, 16},         // negative extent
        {{4, 4, 4}, -1},          // negative group size
    };
    for (const Case& c : cases) {
        AllocationLog log;
        Memory<float> m = allocateMemory<float>(makeParams(c.block, c.group, {8, 8, 8}, true));
        EXPECT_FALSE(m.valid);
        EXPECT_TRUE(log.sizes.empty()) << "a wrapped size reached the allocator";
        EXPECT_EQ(m.group.data, nullptr);
        EXPECT_EQ(m.matches, nullptr);
        m.free();
    }
}

TEST(TempMemory, BufferSizesFollowTheParameters) {
    const Parameters p = makeParams({4, 4, 4}, 16, {8, 8, 8}, true, 8);
    AllocationLog log;
    TempMemory<float> t = createTempMemory<float>(p);
    ASSERT_TRUE(t.valid);
    EXPECT_EQ(t.maxDim, 8);
    // planeCube (8, 8, 5, 16) floats; spectrumCube 8^3*16 Complex; mask 64 bools;
    // three block scratches; two line buffers of 8 lines of 8 Complex; 16 members.
    EXPECT_EQ(log.sorted(), sortedSizes({4 * 8 * 8 * 5 * 16, 8 * 512 * 16, 64, 256, 256, 256,
                                         8 * 8 * 8, 8 * 8 * 8, 4 * 16}));
    EXPECT_EQ(t.planeCube.size.x, 8);
    EXPECT_EQ(t.planeCube.size.y, 8);
    EXPECT_EQ(t.planeCube.size.z, 5);
    EXPECT_EQ(t.planeCube.size.w, 16);
    EXPECT_EQ(t.spectrumCube.size.x, 8);
    EXPECT_EQ(t.spectrumCube.size.z, 8);
    EXPECT_EQ(t.spectrumCube.size.w, 16);
    t.free();
}

TEST(TempMemory, PlaneWidthAndLineCountEdgeCases) {
    {
        // Without symmetry the plane cube keeps the full width.
        TempMemory<float> t = createTempMemory<float>(makeParams({4, 4, 4}, 8, {8, 8, 8}, false));
        ASSERT_TRUE(t.valid);
        EXPECT_EQ(t.planeCube.size.z, 8);
        t.free();
    }
    {
        // A non-square grid never folds.
        TempMemory<float> t = createTempMemory<float>(makeParams({4, 4, 4}, 8, {8, 4, 8}, true));
        ASSERT_TRUE(t.valid);
        EXPECT_EQ(t.planeCube.size.x, 8);
        EXPECT_EQ(t.planeCube.size.y, 4);
        EXPECT_EQ(t.planeCube.size.z, 8);
        t.free();
    }
    for (int vgs : {0, 1}) {
        const Parameters p = makeParams({4, 4, 1}, 8, {16, 4, 2}, false, vgs);
        AllocationLog log;
        TempMemory<float> t = createTempMemory<float>(p);
        ASSERT_TRUE(t.valid);
        EXPECT_EQ(t.maxDim, 16);
        // Two lines of 16 Complex each, for each of the two line buffers.
        EXPECT_EQ(std::count(log.sizes.begin(), log.sizes.end(), std::size_t{2 * 16 * 8}), 2)
            << "varianceGroupSize " << vgs;
        t.free();
    }
}

TEST(TempMemory, FailedPlaneMaskLeavesOthersAllocatedAndFreeSkipsIt) {
    // R.z * R.y = 3 * 5 = 15 bytes is the only allocation of that size.
    const Parameters p = makeParams({4, 4, 4}, 4, {7, 5, 3}, false);
    AllocationLog log([](std::size_t bytes) { return bytes == 15; });
    TempMemory<float> t = createTempMemory<float>(p);
    EXPECT_FALSE(t.valid);
    EXPECT_EQ(t.planeMask, nullptr);
    EXPECT_NE(t.planeCube.data, nullptr);
    EXPECT_NE(t.spectrumCube.data, nullptr);
    EXPECT_NE(t.blockScratchA, nullptr);
    EXPECT_NE(t.blockScratchC, nullptr);
    EXPECT_NE(t.fftLinesB, nullptr);
    EXPECT_NE(t.memberScratch, nullptr);
    EXPECT_EQ(log.sizes.size(), 9u);
    t.free();
    EXPECT_EQ(t.planeCube.data, nullptr);
}

TEST(TempMemory, SizesBeyondIntAreRefusedBeforeAllocating) {
    const Parameters cases[] = {
        makeParams({4, 4, 4}, 16, {2048, 2048, 2048}, false),         // spectrum cube overflows
        makeParams({4, 4, 4}, 1 << 20, {64, 64, 64}, true),           // group factor overflows
        makeParams({4, 4, 4}, 16, {8, -8, 8}, false),                 // negative extent
        makeParams({4, 4, 4}, 16, {8, 8, 8}, false, 1 << 30),         // line buffers overflow
        makeParams({1 << 11, 1 << 11, 1 << 11}, 1, {8, 8, 8}, false), // block scratch
    };
    for (const Parameters& p : cases) {
        AllocationLog log;
        TempMemory<float> t = createTempMemory<float>(p);
        EXPECT_FALSE(t.valid);
        EXPECT_TRUE(log.sizes.empty()) << "a wrapped size reached the allocator";
        t.free();
    }
}
