// The exported functions as the host sees them: statuses, untouched outputs,
// the caller's structures, and calls made while another one runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "stage/progress.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"
#include "vexa.h"

namespace vexa {
namespace {

class EntryPoints : public ::testing::Test {
  protected:
    static constexpr int X = 16, Y = 16;
    std::vector<float> noisy = std::vector<float>(X * Y, 1.0f);
    std::vector<float> psd = std::vector<float>(X * Y, 1.0f);
    std::vector<float> output = std::vector<float>(X * Y, 5.0f);
    std::vector<float> basic = std::vector<float>(X * Y, 1.0f);
    int shiftTable[5] = {0, 1, 2, 1, 0};
    VexaParameters params;
    VexaTransforms transforms;

    void SetUp() override {
        std::memset(&params, 0, sizeof params);
        std::memset(&transforms, 0, sizeof transforms);
        params.blockSize = {8, 8, 1};
        params.psdResampleSize = {16, 16, 1};
        params.maxGroupSize = 16;
        params.varianceGroupSize = 2;
        params.hardThreshold = 2.7f * 2.7f;
        params.wienerFactor = 1.0f;
        params.searchRadius = {4, 4, 0};
        params.imageSize = {X, Y, 1};
        params.psdSize = {X, Y, 1};
        params.step = {1, 1, 0};
        params.minGroupSize = 1;
        params.matchThreshold = 1e9f;
        params.gridShiftCount = {0, 1, 5};
        params.gridShift = {nullptr, shiftTable, shiftTable};
        params.numThreads = 1;
    }

    bool outputUntouched() const {
        for (float v : output)
            if (v != 5.0f) return false;
        return true;
    }
};

TEST_F(EntryPoints, MissingTransformLeavesTheEntryPointWithOutputUntouched) {
    params.blockSize = {4, 4, 8};
    params.step = {1, 1, 1};
    for (int stage = 0; stage < 2; ++stage) {
        try {
            if (stage == 0)
                vexaInterfaceHT(noisy.data(), psd.data(), params, transforms, output.data(),
                                nullptr);
            else
                vexaInterfaceWie(noisy.data(), psd.data(), params, transforms, basic.data(),
                                 output.data(), nullptr);
            ADD_FAILURE() << "stage " << stage << " did not throw";
        } catch (const std::exception& e) {
            EXPECT_NE(dynamic_cast<const MissingTransformException*>(&e), nullptr);
            EXPECT_STREQ(e.what(), "No transform was passed, and no internal transform could "
                                   "be found to replace it!");
        }
        EXPECT_TRUE(outputUntouched());
    }
}

TEST_F(EntryPoints, NonPositiveStepIsRejectedWithAStatus) {
    const Vec3<int> steps[] = {{1, 1, 0}, {0, 1, 1}, {1, -2, 1}};
    for (const Vec3<int>& s : steps) {
        params.step = {s.x, s.y, s.z};
        testing::internal::CaptureStderr();
        const int status =
            vexaInterfaceHT(noisy.data(), psd.data(), params, transforms, output.data(), nullptr);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, VEXA_ERROR_INVALID_ARGUMENT);
        EXPECT_TRUE(outputUntouched());
        const std::string message = vexaLastMessage();
        EXPECT_NE(message.find("params.step > 0"), std::string::npos) << message;
        EXPECT_NE(message.find("step"), std::string::npos);
        const std::string given = "(" + std::to_string(s.x) + ", " + std::to_string(s.y) + ", " +
                                  std::to_string(s.z) + ")";
        EXPECT_NE(message.find(given), std::string::npos) << message;
        EXPECT_EQ(err, message + "\n");
    }
    const int wie = vexaInterfaceWie(noisy.data(), psd.data(), params, transforms, basic.data(),
                                     output.data(), nullptr);
    EXPECT_EQ(wie, VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(outputUntouched());
}

TEST_F(EntryPoints, CallerStructuresAndTablesAreNeverWritten) {
    std::vector<float> fwd(DCT_8_FWD, DCT_8_FWD + 64);
    std::vector<float> inv(DCT_8_INV, DCT_8_INV + 64);
    std::vector<float> window(KAISER_8x8, KAISER_8x8 + 64);
    const float* inverseTable[3] = {nullptr, nullptr, DCT_4_INV};
    transforms.forward = {fwd.data(), fwd.data(), ONE};
    transforms.inverse = {inv.data(), inv.data(), ONE};
    transforms.groupForward = nullptr; // both group tables get replaced inside
    transforms.groupInverse = inverseTable;
    transforms.window = window.data();

    VexaParameters paramsBefore;
    VexaTransforms transformsBefore;
    std::memcpy(&paramsBefore, &params, sizeof params);
    std::memcpy(&transformsBefore, &transforms, sizeof transforms);
    const std::vector<float> fwdBefore = fwd, windowBefore = window;
    int shiftBefore[5];
    std::memcpy(shiftBefore, shiftTable, sizeof shiftTable);

    testing::internal::CaptureStderr();
    vexaInterfaceHT(noisy.data(), psd.data(), params, transforms, output.data(), nullptr);
    params.step = {1, 1, 1};
    vexaInterfaceWie(noisy.data(), psd.data(), params, transforms, basic.data(), output.data(),
                     nullptr);
    params.step = {1, 1, 0};
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(std::memcmp(&paramsBefore, &params, sizeof params), 0);
    EXPECT_EQ(std::memcmp(&transformsBefore, &transforms, sizeof transforms), 0);
    EXPECT_EQ(inverseTable[2], DCT_4_INV);
    EXPECT_EQ(inverseTable[0], nullptr);
    EXPECT_EQ(fwd, fwdBefore);
    EXPECT_EQ(window, windowBefore);
    EXPECT_EQ(std::memcmp(shiftBefore, shiftTable, sizeof shiftTable), 0);
}

TEST_F(EntryPoints, NullBuffersAndTablesAreInvalidArguments) {
    params.step = {1, 1, 1};
    struct Case {
        std::string message;
        int status;
    };
    auto run = [&](const float* n, const float* p, const float* b, float* o, int stage) {
        testing::internal::CaptureStderr();
        const int s = stage == 0 ? vexaInterfaceHT(n, p, params, transforms, o, nullptr)
                                 : vexaInterfaceWie(n, p, params, transforms, b, o, nullptr);
        testing::internal::GetCapturedStderr();
        return Case{std::string(vexaLastMessage()), s};
    };
    const Case cases[] = {
        run(nullptr, psd.data(), basic.data(), output.data(), 0),
        run(noisy.data(), nullptr, basic.data(), output.data(), 1),
        run(noisy.data(), psd.data(), nullptr, output.data(), 1),
        run(noisy.data(), psd.data(), basic.data(), nullptr, 0),
    };
    const char* names[] = {"noisy", "psd", "basicEstimate", "output"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cases[i].status, VEXA_ERROR_INVALID_ARGUMENT) << names[i];
        EXPECT_NE(cases[i].message.find(std::string("argument ") + names[i]), std::string::npos)
            << cases[i].message;
    }
    EXPECT_TRUE(outputUntouched());

    params.gridShift.z = nullptr;
    const Case shift = run(noisy.data(), psd.data(), basic.data(), output.data(), 0);
    EXPECT_EQ(shift.status, VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(shift.message.find("params.gridShift.z"), std::string::npos);
    EXPECT_TRUE(outputUntouched());
}

TEST_F(EntryPoints, CancelRequestBetweenCallsIsDropped) {
    vexaRequestCancel();
    EXPECT_TRUE(stageProgress().cancelRequested.load());
    testing::internal::CaptureStderr();
    const int status =
        vexaInterfaceHT(noisy.data(), psd.data(), params, transforms, output.data(), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_FALSE(stageProgress().cancelRequested.load());
    std::int64_t done = -1, total = -1;
    vexaGetProgress(&done, &total);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(total, 0);
    vexaGetProgress(nullptr, nullptr);
}

TEST(ExtraExports, VersionAndThreadCount) {
    EXPECT_TRUE(
        std::regex_match(std::string(vexaVersion()), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")))
        << vexaVersion();
    EXPECT_GE(vexaDefaultThreadCount(), 1);
}

// ---- calls made while another one runs ----

// A 3-D call long enough that a second call certainly arrives while it runs.
class ConcurrentCalls : public ::testing::Test {
  protected:
    static constexpr int N = 24;
    std::vector<float> noisy = std::vector<float>(N * N * N);
    std::vector<float> psd = std::vector<float>(8 * 8 * 8, 0.01f * 8 * 8 * 8);
    VexaParameters params;
    VexaTransforms transforms;

    void SetUp() override {
        std::uint32_t state = 12345u;
        for (int i = 0; i < N * N * N; ++i) {
            state = state * 1664525u + 1013904223u;
            const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
            noisy[i] = ((i / (N * N)) > N / 2 ? 1.0f : 0.0f) + 0.3f * noise;
        }
        std::memset(&params, 0, sizeof params);
        std::memset(&transforms, 0, sizeof transforms);
        params.blockSize = {4, 4, 4};
        params.psdResampleSize = {8, 8, 8};
        params.psdSymmetry = 1;
        params.maxGroupSize = 16;
        params.varianceGroupSize = 4;
        params.hardThreshold = 2.7f * 2.7f;
        params.wienerFactor = 1.0f;
        params.searchRadius = {3, 3, 3};
        params.imageSize = {N, N, N};
        params.psdSize = {8, 8, 8};
        params.step = {2, 2, 2};
        params.minGroupSize = 1;
        params.matchThreshold = 1e9f;
        params.numThreads = 1; // one thread: the result is reproducible bit for bit
    }

    int runHT(std::vector<float>& out) {
        return vexaInterfaceHT(noisy.data(), psd.data(), params, transforms, out.data(), nullptr);
    }
};

TEST_F(ConcurrentCalls, SecondCallIsTurnedAwayAndTheRunningOneIsUnaffected) {
    std::vector<float> solo(noisy.size(), 0.0f);
    ASSERT_EQ(runHT(solo), VEXA_OK) << vexaLastMessage();

    std::vector<float> first(noisy.size(), 0.0f);
    std::atomic<bool> firstDone{false};
    std::atomic<int> firstStatus{-1};
    std::thread running([&] {
        firstStatus = runHT(first);
        firstDone = true;
    });
    // The running call publishes its total once it is past its checks.
    std::int64_t done = 0, total = 0;
    while (!firstDone.load()) {
        vexaGetProgress(&done, &total);
        if (total > 0 && done < total) break;
        std::this_thread::yield();
    }
    ASSERT_FALSE(firstDone.load()) << "the first call ended before the second was made";

    std::vector<float> second(noisy.size(), 7.0f);
    BlockMatchStorage store;
    std::memset(&store, 0, sizeof store);
    store.referenceCount = 4242;
    testing::internal::CaptureStderr();
    const int ht =
        vexaInterfaceHT(noisy.data(), psd.data(), params, transforms, second.data(), &store);
    const int wie = vexaInterfaceWie(noisy.data(), psd.data(), params, transforms, solo.data(),
                                     second.data(), &store);
    const bool stillRunning = !firstDone.load();
    const std::string message = vexaLastMessage();
    const std::string err = testing::internal::GetCapturedStderr();
    running.join();

    EXPECT_EQ(ht, VEXA_ERROR_BUSY);
    EXPECT_EQ(wie, VEXA_ERROR_BUSY);
    EXPECT_TRUE(stillRunning) << "the second call waited for the first";
    for (float v : second) ASSERT_EQ(v, 7.0f);
    EXPECT_EQ(store.referenceCount, 4242);
    EXPECT_NE(message.find("another vexa stage call is running"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_EQ(err, message + "\n" + message + "\n");

    EXPECT_EQ(firstStatus.load(), VEXA_OK);
    EXPECT_EQ(std::memcmp(first.data(), solo.data(), solo.size() * sizeof(float)), 0)
        << "the running call's result changed";
    // The running call's own messages were left alone.
    std::vector<float> again(noisy.size(), 0.0f);
    EXPECT_EQ(runHT(again), VEXA_OK);
    EXPECT_STREQ(vexaLastMessage(), "");
}

TEST_F(ConcurrentCalls, EveryExitReleasesTheGuard) {
    std::vector<float> out(noisy.size(), 0.0f);
    // Rejected arguments, and the one exception that leaves an entry point.
    VexaParameters bad = params;
    bad.step = {0, 1, 1};
    testing::internal::CaptureStderr();
    EXPECT_EQ(vexaInterfaceHT(noisy.data(), psd.data(), bad, transforms, out.data(), nullptr),
              VEXA_ERROR_INVALID_ARGUMENT);
    testing::internal::GetCapturedStderr();
    bad = params;
    bad.blockSize = {4, 4, 8};
    EXPECT_THROW(vexaInterfaceHT(noisy.data(), psd.data(), bad, transforms, out.data(), nullptr),
                 MissingTransformException);
    params.imageSize = {16, 16, 16};
    EXPECT_EQ(runHT(out), VEXA_OK) << vexaLastMessage();
}

} // namespace
} // namespace vexa
