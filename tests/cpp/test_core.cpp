// Core value types: vectors, volume views, owning volumes, 4-D cubes, and the
// check, report and allocator facilities everything else relies on.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

#include "core/allocator.h"
#include "core/check.h"
#include "core/complex.h"
#include "core/cube4d.h"
#include "core/image_data.h"
#include "core/report.h"
#include "core/sizes.h"
#include "core/vec3.h"
#include "vexa.h"

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
