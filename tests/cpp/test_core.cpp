// Core value types: vectors, volume views, owning volumes, 4-D cubes, and the
// check, report and allocator facilities everything else relies on.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "core/allocator.h"
#include "core/check.h"
#include "core/complex.h"
#include "core/cube4d.h"
#include "core/image_data.h"
#include "core/memory.h"
#include "core/parameters.h"
#include "core/report.h"
#include "core/sizes.h"
#include "core/vec3.h"
#include "vexa.h"
#include <algorithm>

namespace vexa {
namespace {

// The text of the check that fn fails, or null when it passes.
template <class F>
const char* failedCheck(F fn) {
    try {
        fn();
    } catch (const CheckFailure& f) {
        return f.text;
    }
    return nullptr;
}

const char* const kAtCheck =
    "convertToIndex(coords) >= 0 && convertToIndex(coords) < _size.volume()";
const char* const kSetCoeffCheck =
    "coord.x < size.x && coord.y < size.y && coord.z < size.z && coord.w < size.w";

TEST(Vec3Compare, GreaterEqualNeedsEveryComponent) {
    const Vec3<int> b{1, 1, 1};
    EXPECT_FALSE((Vec3<int>{5, 0, 0} >= b));
    EXPECT_TRUE((Vec3<int>{1, 1, 1} >= b));
    EXPECT_TRUE((Vec3<int>{2, 3, 4} >= b));
    EXPECT_FALSE((Vec3<int>{2, 3, 0} >= b));
    EXPECT_TRUE((Vec3<int>{0, 0, 0} >= 0));
    EXPECT_FALSE((Vec3<int>{0, -1, 0} >= 0));
    EXPECT_FALSE((Vec3<int>{0, 0, -1} >= 0));
}

TEST(Vec3Compare, LessIsTheNegationOfGreaterEqual) {
    const Vec3<int> b{1, 1, 1};
    EXPECT_TRUE((Vec3<int>{5, 0, 0} < b));
    EXPECT_TRUE((Vec3<int>{5, 5, 0} < b));
    EXPECT_FALSE((Vec3<int>{1, 1, 1} < b));
    EXPECT_FALSE((Vec3<int>{7, 8, 9} < b));
    for (int x = 0; x < 3; ++x)
        for (int y = 0; y < 3; ++y)
            for (int z = 0; z < 3; ++z) {
                const Vec3<int> a{x, y, z};
                EXPECT_NE(a < b, a >= b) << x << y << z;
            }
}

TEST(Vec3Compare, LessEqualNeedsOneComponent) {
    const Vec3<int> b{1, 1, 1};
    EXPECT_TRUE((Vec3<int>{0, 9, 9} <= b));
    EXPECT_TRUE((Vec3<int>{9, 9, 1} <= b));
    EXPECT_FALSE((Vec3<int>{2, 2, 2} <= b));
    // Not lexicographic: (2,0,0) <= (1,5,5) holds through y alone.
    EXPECT_TRUE((Vec3<int>{2, 0, 0} <= Vec3<int>{1, 5, 5}));
}

TEST(Vec3Arithmetic, SumAndVolume) {
    const Vec3<int> s = Vec3<int>{1, 2, 3} + Vec3<int>{10, 20, 30};
    EXPECT_EQ(s.x, 11);
    EXPECT_EQ(s.y, 22);
    EXPECT_EQ(s.z, 33);
    EXPECT_EQ((Vec3<int>{4, 5, 6}.volume()), 120);
    EXPECT_EQ((Vec3<int>{4, 0, 6}.volume()), 0);
}

class ImageDataTest : public ::testing::Test {
  protected:
    static constexpr int X = 5, Y = 3, Z = 2;
    std::vector<float> samples = std::vector<float>(X * Y * Z);
    ImageData<float> view;
    void SetUp() override {
        for (int i = 0; i < X * Y * Z; ++i) samples[i] = static_cast<float>(i) * 0.5f;
        view = ImageData<float>(samples.data(), {X, Y, Z});
    }
};

TEST_F(ImageDataTest, IndexesRunXFastestThenYThenZ) {
    EXPECT_EQ(view._sliceSize, X * Y);
    EXPECT_EQ(view.convertToIndex({0, 0, 0}), 0);
    EXPECT_EQ(view.convertToIndex({X - 1, Y - 1, Z - 1}), X * Y * Z - 1);
    EXPECT_EQ(view.convertToIndex({2, 1, 1}), 2 + X * 1 + X * Y * 1);
    EXPECT_FLOAT_EQ(view.at({2, 1, 1}), samples[2 + X + X * Y]);
}

TEST_F(ImageDataTest, AtChecksOnlyTheLinearIndex) {
    EXPECT_EQ(failedCheck([&] { view.at({X - 1, Y - 1, Z - 1}); }), nullptr);
    const char* text = failedCheck([&] { view.at({X, Y - 1, Z - 1}); });
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, kAtCheck);
    // x = X wraps into the next row and is not caught.
    float wrapped = -1.0f;
    EXPECT_EQ(failedCheck([&] { wrapped = view.at({X, 0, 0}); }), nullptr);
    EXPECT_FLOAT_EQ(wrapped, view.at({0, 1, 0}));
    EXPECT_EQ(failedCheck([&] { view.at({-1, 1, 0}); }), nullptr);
    EXPECT_STREQ(failedCheck([&] { view.at({-1, 0, 0}); }), kAtCheck);
    EXPECT_STREQ(failedCheck([&] { view.at({0, 0, Z}); }), kAtCheck);
}

TEST(ImageDataMutableTest, WrappingACallerBufferNeverReleasesIt) {
    float buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    {
        ImageDataMutable<float> v(buffer, {2, 2, 2});
        EXPECT_FALSE(v._owns);
        EXPECT_EQ(v._ownedBuffer, nullptr);
        v._data[v.convertToIndex({1, 1, 1})] += 10.0f;
        v.release();
        EXPECT_EQ(v._data, buffer);
    }
    // A stack buffer: any free() of it would abort under the sanitizers.
    EXPECT_FLOAT_EQ(buffer[7], 18.0f);
    EXPECT_FLOAT_EQ(buffer[0], 1.0f);
}

TEST(ImageDataMutableTest, OwningVolumeIsZeroedAndReleasedOnce) {
    ImageDataMutable<float> v = ImageDataMutable<float>::allocateZeroed({4, 3, 2});
    ASSERT_NE(v._data, nullptr);
    EXPECT_TRUE(v._owns);
    EXPECT_EQ(v._ownedBuffer, static_cast<void*>(v._data));
    EXPECT_EQ(v._sliceSize, 12);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(v._data[i], 0.0f);
    v.release();
    EXPECT_FALSE(v._owns);
    EXPECT_EQ(v._ownedBuffer, nullptr);
    v.release(); // cleared fields: nothing left to free a second time
    EXPECT_EQ(v._data, nullptr);
}

TEST(ImageDataMutableTest, MoveTransfersOwnership) {
    ImageDataMutable<float> a = ImageDataMutable<float>::allocateZeroed({2, 2, 1});
    void* buffer = a._ownedBuffer;
    ImageDataMutable<float> b(std::move(a));
    EXPECT_FALSE(a._owns);
    EXPECT_EQ(a._ownedBuffer, nullptr);
    EXPECT_TRUE(b._owns);
    EXPECT_EQ(b._ownedBuffer, buffer);
    ImageDataMutable<float> c;
    c = std::move(b);
    EXPECT_FALSE(b._owns);
    EXPECT_EQ(c._ownedBuffer, buffer);
}

TEST(ImageDataMutableTest, FailedOrOversizedAllocationGivesNullData) {
    int calls = 0;
    setAllocationFailureHook([&](std::size_t) {
        ++calls;
        return true;
    });
    ImageDataMutable<float> failed = ImageDataMutable<float>::allocateZeroed({8, 8, 8});
    setAllocationFailureHook({});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(failed._data, nullptr);
    EXPECT_FALSE(failed._owns);

    calls = 0;
    setAllocationFailureHook([&](std::size_t) {
        ++calls;
        return false;
    });
    ImageDataMutable<float> huge = ImageDataMutable<float>::allocateZeroed({65536, 65536, 2});
    ImageDataMutable<float> negative = ImageDataMutable<float>::allocateZeroed({4, -1, 4});
    setAllocationFailureHook({});
    EXPECT_EQ(calls, 0) << "sizes beyond the int index range must not reach the allocator";
    EXPECT_EQ(huge._data, nullptr);
    EXPECT_EQ(negative._data, nullptr);
}

TEST(Cube4DTest, IndexRuleAndBlockOffsets) {
    std::vector<float> data(2 * 3 * 4 * 5, 0.0f);
    Cube4D<float> cube;
    cube.size = {2, 3, 4, 5};
    cube.data = data.data();
    EXPECT_EQ(cube.index({0, 0, 0, 0}), 0);
    EXPECT_EQ(cube.index({1, 2, 3, 4}), ((4 * 4 + 3) * 3 + 2) * 2 + 1);
    // Block j of a group starts at j * x * y * z.
    EXPECT_EQ(cube.index({0, 0, 0, 3}), 3 * 2 * 3 * 4);
    cube.setCoeff({1, 2, 3, 4}, 7.5f);
    EXPECT_FLOAT_EQ(data[cube.index({1, 2, 3, 4})], 7.5f);
}

TEST(Cube4DTest, SetCoeffChecksUpperBoundsOnly) {
    std::vector<Complex> data(2 * 2 * 2 * 2, Complex{0.0f, 0.0f});
    Cube4D<Complex> cube;
    cube.size = {2, 2, 2, 2};
    cube.data = data.data();
    EXPECT_STREQ(failedCheck([&] { cube.setCoeff({0, 0, 0, 2}, {1, 1}); }), kSetCoeffCheck);
    EXPECT_STREQ(failedCheck([&] { cube.setCoeff({2, 0, 0, 0}, {1, 1}); }), kSetCoeffCheck);
    EXPECT_STREQ(failedCheck([&] { cube.setCoeff({0, 2, 0, 0}, {1, 1}); }), kSetCoeffCheck);
    EXPECT_STREQ(failedCheck([&] { cube.setCoeff({0, 0, 2, 0}, {1, 1}); }), kSetCoeffCheck);
    // A negative coordinate passes; (-1, 1, 0, 0) still lands inside the data.
    EXPECT_EQ(failedCheck([&] { cube.setCoeff({-1, 1, 0, 0}, {3, 4}); }), nullptr);
    EXPECT_FLOAT_EQ(data[1].re, 3.0f);
    EXPECT_FLOAT_EQ(data[1].im, 4.0f);
}

TEST(ComplexLayout, InterleavedPair) {
    static_assert(sizeof(Complex) == 2 * sizeof(float), "two floats");
    static_assert(offsetof(Complex, re) == 0 && offsetof(Complex, im) == sizeof(float),
                  "re then im");
    Complex c[2] = {{1.0f, 2.0f}, {3.0f, 4.0f}};
    float raw[4];
    std::memcpy(raw, c, sizeof raw);
    EXPECT_EQ(raw[0], 1.0f);
    EXPECT_EQ(raw[1], 2.0f);
    EXPECT_EQ(raw[2], 3.0f);
    EXPECT_EQ(raw[3], 4.0f);
}

TEST(CheckFacility, FailedCheckCarriesItsFixedText) {
    EXPECT_EQ(failedCheck([] { VEXA_CHECK(1 + 1 == 2, "never"); }), nullptr);
    EXPECT_STREQ(failedCheck([] { VEXA_CHECK(false, "blockCount > 0"); }), "blockCount > 0");
}

TEST(ReportFacility, LinesGoToStderrAndTheFirstStatusWins) {
    beginReportCall();
    EXPECT_EQ(reportedStatus(), Status::Ok);
    EXPECT_STREQ(reportedMessages(), "");
    testing::internal::CaptureStderr();
    reportFailure(Status::OutOfMemory, "Failed to allocate block memory");
    reportFailure(Status::Internal, "Internal check failed: x");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Failed to allocate block memory\nInternal check failed: x\n");
    EXPECT_EQ(reportedStatus(), Status::OutOfMemory);
    EXPECT_STREQ(reportedMessages(), "Failed to allocate block memory\nInternal check failed: x");
    beginReportCall();
    EXPECT_EQ(reportedStatus(), Status::Ok);
    EXPECT_STREQ(reportedMessages(), "");
}

TEST(ReportFacility, StatusValuesMatchThePublicHeader) {
    EXPECT_EQ(static_cast<int>(Status::Ok), VEXA_OK);
    EXPECT_EQ(static_cast<int>(Status::InvalidArgument), VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(static_cast<int>(Status::OutOfMemory), VEXA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(static_cast<int>(Status::Internal), VEXA_ERROR_INTERNAL);
    EXPECT_EQ(static_cast<int>(Status::Cancelled), VEXA_ERROR_CANCELLED);
    EXPECT_EQ(static_cast<int>(Status::Threads), VEXA_ERROR_THREADS);
}

TEST(AllocatorHook, InjectedFailureAndRemoval) {
    std::size_t asked = 0;
    setAllocationFailureHook([&](std::size_t bytes) {
        asked = bytes;
        return bytes == 123;
    });
    EXPECT_EQ(cMalloc(123), nullptr);
    EXPECT_EQ(asked, 123u);
    void* p = cMalloc(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
    EXPECT_EQ(cRealloc(p, 123), nullptr); // p stays valid after a failed realloc
    void* q = cRealloc(p, 64);
    ASSERT_NE(q, nullptr);
    cFree(q);
    setAllocationFailureHook({});
    void* r = cMalloc(123);
    EXPECT_NE(r, nullptr);
    cFree(r);
}

TEST(CheckedProduct, RejectsNegativeAndOverflowingFactors) {
    long long out = -7;
    EXPECT_TRUE(checkedProduct({4, 5, 6}, out));
    EXPECT_EQ(out, 120);
    EXPECT_TRUE(checkedProduct({0, INT_MAX, INT_MAX}, out));
    EXPECT_EQ(out, 0);
    out = -7;
    EXPECT_FALSE(checkedProduct({65536, 32768}, out));
    EXPECT_FALSE(checkedProduct({3, -1}, out));
    EXPECT_EQ(out, -7);
    EXPECT_TRUE(checkedProduct({46340, 46340}, out));
    EXPECT_FALSE(checkedProduct({10, 11}, out, 100));
}

} // namespace
} // namespace vexa

// ========== working memory

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
    // The working grid comes with the allocation: (8, 8, 8) folded to width 5.
    EXPECT_EQ(m.workSize, (Vec3<int>{5, 8, 8}));
}

TEST(Memory, FailedAllocationGivesInvalidAndReleaseIsSafe) {
    const Parameters p = makeParams({8, 8, 1}, 32, {8, 8, 1}, false);
    int calls = 0;
    AllocationLog log([&](std::size_t) { return ++calls == 3; });
    Memory<float> m = allocateMemory<float>(p);
    EXPECT_FALSE(m.valid);
    EXPECT_EQ(m.estimates.data, nullptr);
    EXPECT_NE(m.group.data, nullptr);
    EXPECT_NE(m.blockVariances, nullptr);
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
}

TEST(TempMemory, PlaneWidthAndLineCountEdgeCases) {
    {
        // Without symmetry the plane cube keeps the full width.
        TempMemory<float> t = createTempMemory<float>(makeParams({4, 4, 4}, 8, {8, 8, 8}, false));
        ASSERT_TRUE(t.valid);
        EXPECT_EQ(t.planeCube.size.z, 8);
    }
    {
        // A non-square grid never folds.
        TempMemory<float> t = createTempMemory<float>(makeParams({4, 4, 4}, 8, {8, 4, 8}, true));
        ASSERT_TRUE(t.valid);
        EXPECT_EQ(t.planeCube.size.x, 8);
        EXPECT_EQ(t.planeCube.size.y, 4);
        EXPECT_EQ(t.planeCube.size.z, 8);
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
    }
}

TEST(TempMemory, FailedPlaneMaskLeavesOthersAllocatedAndReleaseSkipsIt) {
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
    // A move hands every buffer over; the moved-from object releases nothing.
    TempMemory<float> owner = std::move(t);
    EXPECT_EQ(t.planeCube.data, nullptr);
    EXPECT_EQ(t.blockScratchC, nullptr);
    EXPECT_NE(owner.planeCube.data, nullptr);
    EXPECT_FALSE(owner.valid == true);
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
    }
}
