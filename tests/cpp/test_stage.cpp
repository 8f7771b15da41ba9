#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/allocator.h"
#include "core/check.h"
#include "core/memory.h"
#include "core/report.h"
#include "filtering/aggregation.h"
#include "psd/fft.h"
#include "psd/fft64.h"
#include "psd/noise_tables.h"
#include "psd/resize_psd.h"
#include "psd/variances.h"
#include "stage/progress.h"
#include "stage/slice_worker.h"
#include "stage/stage_steps.h"
#include "stage/validation.h"
#include "stage/vexa_loop.h"
#include "threading/thread_pool.h"
#include "transforms/transform_choice.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"
#include "support/fixtures.h"
#include "support/library_fixtures.h"
#include "vexa.h"

using namespace vexa;
using namespace vexa_fixtures;

namespace {

// ------------------------------------------------------------------ scenes

struct Scene {
    VexaVec3i size;
    std::vector<float> clean;
    std::vector<float> noisy;
    VexaVec3i psdSize;
    std::vector<float> psd;      // the noise's own PSD
    std::vector<float> whitePsd; // a white PSD of the same variance
};

long long voxels(const VexaVec3i& s) {
    return 1LL * s.x * s.y * s.z;
}

// Flat regions, a ramp, a disc and a smooth texture on a 2-D image, values in [0, 1].
std::vector<float> piecewiseSmoothImage(int nx, int ny) {
    std::vector<float> v(static_cast<size_t>(nx) * ny);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            float s = 0.2f + 0.3f * static_cast<float>(x) / nx;
            if (x > nx / 2 && y < ny / 2) s = 0.8f;
            const float dx = x - 0.3f * nx, dy = y - 0.7f * ny;
            if (dx * dx + dy * dy < 0.04f * nx * ny) s = 0.9f - 0.2f * static_cast<float>(y) / ny;
            if (y > (3 * ny) / 4 && x > (3 * nx) / 5) s = 0.1f;
            if (x < nx / 2 && y < ny / 2)
                s = 0.5f + 0.2f * std::sin(0.5f * x) * std::cos(0.35f * y);
            v[x + nx * y] = s;
        }
    return v;
}

// Normalised Gaussian kernel of (2h+1) taps per axis used (h = 0 on flat axes).
struct Kernel {
    VexaVec3i half;
    std::vector<float> taps;
    float at(int x, int y, int z) const {
        return taps[(x + half.x) +
                    (2 * half.x + 1) * ((y + half.y) + (2 * half.y + 1) * (z + half.z))];
    }
};

Kernel gaussianKernel(const VexaVec3i& half, float sigma) {
    Kernel k{half, {}};
    double sum = 0;
    for (int z = -half.z; z <= half.z; ++z)
        for (int y = -half.y; y <= half.y; ++y)
            for (int x = -half.x; x <= half.x; ++x) {
                const float w = std::exp(-(x * x + y * y + z * z) / (2 * sigma * sigma));
                k.taps.push_back(w);
                sum += w;
            }
    for (float& t : k.taps) t = static_cast<float>(t / sum);
    return k;
}

// |DFT of the kernel padded to the grid|^2 * sigmaW^2 * |grid|, the unscaled
// convention of the library.
std::vector<float> kernelPsd(const Kernel& k, const VexaVec3i& grid, float sigmaW) {
    std::vector<float> psd(voxels(grid));
    const double pi = 3.14159265358979323846;
    for (int fz = 0; fz < grid.z; ++fz)
        for (int fy = 0; fy < grid.y; ++fy)
            for (int fx = 0; fx < grid.x; ++fx) {
                double re = 0, im = 0;
                for (int z = -k.half.z; z <= k.half.z; ++z)
                    for (int y = -k.half.y; y <= k.half.y; ++y)
                        for (int x = -k.half.x; x <= k.half.x; ++x) {
                            const double phase =
                                -2 * pi *
                                (double(fx) * x / grid.x + double(fy) * y / grid.y +
                                 double(fz) * z / grid.z);
                            re += k.at(x, y, z) * std::cos(phase);
                            im += k.at(x, y, z) * std::sin(phase);
                        }
                psd[fx + grid.x * (fy + grid.y * static_cast<size_t>(fz))] =
                    static_cast<float>((re * re + im * im) * sigmaW * sigmaW * voxels(grid));
            }
    return psd;
}

// Circular convolution of white noise with the kernel: stationary noise.
std::vector<float> correlatedNoise(const VexaVec3i& s, const Kernel& k, float sigmaW,
                                   unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, sigmaW);
    std::vector<float> white(voxels(s)), out(voxels(s), 0.0f);
    for (float& w : white) w = normal(rng);
    auto wrap = [](int v, int n) { return ((v % n) + n) % n; };
    for (int z = 0; z < s.z; ++z)
        for (int y = 0; y < s.y; ++y)
            for (int x = 0; x < s.x; ++x) {
                float acc = 0;
                for (int dz = -k.half.z; dz <= k.half.z; ++dz)
                    for (int dy = -k.half.y; dy <= k.half.y; ++dy)
                        for (int dx = -k.half.x; dx <= k.half.x; ++dx)
                            acc += k.at(dx, dy, dz) *
                                   white[wrap(x - dx, s.x) +
                                         s.x * (wrap(y - dy, s.y) + s.y * wrap(z - dz, s.z))];
                out[x + s.x * (y + s.y * static_cast<size_t>(z))] = acc;
            }
    return out;
}

Scene whiteScene(const VexaVec3i& size, std::vector<float> clean, const VexaVec3i& psdSize,
                 float sigma, unsigned seed) {
    Scene s{size, std::move(clean), {}, psdSize, {}, {}};
    s.noisy = withWhiteNoise(s.clean, sigma, seed);
    s.psd = whitePsd(voxels(psdSize), sigma);
    s.whitePsd = s.psd;
    return s;
}

Scene correlatedScene(const VexaVec3i& size, std::vector<float> clean, const VexaVec3i& psdSize,
                      const Kernel& k, float sigma, unsigned seed) {
    double energy = 0;
    for (float t : k.taps) energy += double(t) * t;
    const float sigmaW = static_cast<float>(sigma / std::sqrt(energy)); // total std = sigma
    Scene s{size, std::move(clean), {}, psdSize, {}, {}};
    const std::vector<float> n = correlatedNoise(size, k, sigmaW, seed);
    s.noisy = s.clean;
    for (size_t i = 0; i < n.size(); ++i) s.noisy[i] += n[i];
    s.psd = kernelPsd(k, psdSize, sigmaW);
    s.whitePsd = whitePsd(voxels(psdSize), sigma);
    return s;
}

// ------------------------------------------------------------------ parameters

// Sigma 0.1 in the match threshold, two threads.
VexaParameters baseParameters(const Scene& s, int stage) {
    return stageParameters(s.size, s.psdSize, stage, 0.01f, 2);
}

VexaTransforms noTransforms() {
    return builtInTransforms();
}

struct StageRun {
    int status;
    std::vector<float> out;
};

StageRun runHT(const Scene& s, const VexaParameters& p, const std::vector<float>* psd = nullptr,
               BlockMatchStorage* storage = nullptr) {
    StageRun r{0, std::vector<float>(voxels(s.size), 0.0f)};
    r.status = vexaInterfaceHT(s.noisy.data(), (psd ? *psd : s.psd).data(), p, noTransforms(),
                               r.out.data(), storage);
    return r;
}

StageRun runWie(const Scene& s, const VexaParameters& p, const std::vector<float>& basic,
                const std::vector<float>* psd = nullptr, BlockMatchStorage* storage = nullptr) {
    StageRun r{0, std::vector<float>(voxels(s.size), 0.0f)};
    r.status = vexaInterfaceWie(s.noisy.data(), (psd ? *psd : s.psd).data(), p, noTransforms(),
                                basic.data(), r.out.data(), storage);
    return r;
}

float maxAbsDifference(const std::vector<float>& a, const std::vector<float>& b) {
    float m = 0;
    for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

bool allFinite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

int lineCount(const char* text) {
    if (*text == '\0') return 0;
    int n = 1;
    for (const char* c = text; *c; ++c) n += *c == '\n';
    return n;
}

// Host-side match store with room for every slot of the grid.
struct Store {
    std::vector<int32_t> counts, positions, relative;
    BlockMatchStorage s;
    Store(const VexaParameters& p, int maxMatches) {
        const long long slots = 1LL * (p.imageSize.x / p.step.x + 1) *
                                (p.imageSize.y / p.step.y + 1) * (p.imageSize.z / p.step.z + 1);
        counts.assign(slots, -1);
        positions.assign(slots * maxMatches * 3, -1);
        relative.assign(slots * maxMatches * 3, -1);
        std::memset(&s, 0, sizeof s);
        s.maxMatches = maxMatches;
        s.matchCounts = counts.data();
        s.matchPositions = positions.data();
        s.matchRelativePositions = relative.data();
    }
};

} // namespace

// ================================================================== quality

namespace {

const Scene& image2DWhite() {
    static const Scene s =
        whiteScene({64, 64, 1}, piecewiseSmoothImage(64, 64), {32, 32, 1}, 0.1f, 11);
    return s;
}

const Scene& image2DCorrelated() {
    static const Scene s = correlatedScene({64, 64, 1}, piecewiseSmoothImage(64, 64), {32, 32, 1},
                                           gaussianKernel({1, 1, 0}, 1.0f), 0.1f, 13);
    return s;
}

const Scene& volume3DWhite() {
    static const Scene s = whiteScene({48, 48, 48}, phantomVolume(48), {16, 16, 16}, 0.1f, 12);
    return s;
}

const Scene& volume3DCorrelated() {
    static const Scene s = correlatedScene({32, 32, 32}, phantomVolume(32), {16, 16, 16},
                                           gaussianKernel({1, 1, 1}, 0.8f), 0.1f, 14);
    return s;
}

struct Figures {
    double noisy, basic, final;
};

Figures denoise(const Scene& s, const std::vector<float>& psd) {
    const StageRun ht = runHT(s, baseParameters(s, 0), &psd);
    EXPECT_EQ(ht.status, VEXA_OK) << vexaLastMessage();
    const StageRun wie = runWie(s, baseParameters(s, 1), ht.out, &psd);
    EXPECT_EQ(wie.status, VEXA_OK) << vexaLastMessage();
    return {psnr(s.clean, s.noisy), psnr(s.clean, ht.out), psnr(s.clean, wie.out)};
}

void print(const char* name, const Figures& f) {
    std::cout << name << ": noisy " << f.noisy << " dB, basic " << f.basic << " dB, final "
              << f.final << " dB\n";
}

} // namespace

// Margins leave room for platform rounding; the figures printed are the
// ones reported for these seeds.
TEST(StageQuality, WhiteNoiseImageAndVolume) {
    const Figures image = denoise(image2DWhite(), image2DWhite().psd);
    print("2-D white", image);
    EXPECT_GT(image.basic, image.noisy + 8.0);
    EXPECT_GT(image.final, image.basic + 0.15);
    const Figures volume = denoise(volume3DWhite(), volume3DWhite().psd);
    print("3-D white", volume);
    EXPECT_GT(volume.basic, volume.noisy + 10.0);
    EXPECT_GT(volume.final, volume.basic + 0.5);
}

TEST(StageQuality, CorrelatedNoiseTruePsdBeatsWhitePsd) {
    for (const Scene* s : {&image2DCorrelated(), &volume3DCorrelated()}) {
        const bool flat = s->size.z == 1;
        const Figures truth = denoise(*s, s->psd);
        const Figures white = denoise(*s, s->whitePsd);
        print(flat ? "2-D correlated, true PSD" : "3-D correlated, true PSD", truth);
        print(flat ? "2-D correlated, white PSD" : "3-D correlated, white PSD", white);
        EXPECT_GT(truth.basic, truth.noisy + 4.0);
        EXPECT_GT(truth.basic, white.basic + 1.0);
        EXPECT_GT(truth.final, white.final + 1.0);
    }
}

// ================================================================== consistency

TEST(StageConsistency, OneAndTwoThreadsAgree) {
    const Scene& s = image2DWhite();
    VexaParameters p0 = baseParameters(s, 0), p1 = baseParameters(s, 1);
    p0.numThreads = p1.numThreads = 1;
    const StageRun ht1 = runHT(s, p0);
    const StageRun wie1 = runWie(s, p1, ht1.out);
    p0.numThreads = p1.numThreads = 2;
    const StageRun ht2 = runHT(s, p0);
    const StageRun wie2 = runWie(s, p1, ht1.out);
    ASSERT_EQ(ht1.status | wie1.status | ht2.status | wie2.status, VEXA_OK);
    // Only the order of the accumulation differs.
    EXPECT_LT(maxAbsDifference(ht1.out, ht2.out), 1e-5f);
    EXPECT_LT(maxAbsDifference(wie1.out, wie2.out), 1e-5f);
    // With the same thread count, every run gives the same bits: the line
    // chunks fix the order of the accumulation whatever the timing.
    for (int again = 0; again < 3; ++again) {
        const StageRun ht = runHT(s, p0);
        ASSERT_EQ(ht.status, VEXA_OK);
        EXPECT_EQ(maxAbsDifference(ht.out, ht2.out), 0.0f);
    }
    // The chunks do not depend on the thread count either, so more jobs
    // (here as many as chunks) give the same bits.
    p0.numThreads = p1.numThreads = 4;
    const StageRun ht4 = runHT(s, p0);
    const StageRun wie4 = runWie(s, p1, ht1.out);
    ASSERT_EQ(ht4.status | wie4.status, VEXA_OK);
    EXPECT_EQ(ht4.out, ht2.out);
    EXPECT_EQ(wie4.out, wie2.out);
}

TEST(StageConsistency, StoredMatchesReproduceGroupsAndOutput) {
    const Scene& s = image2DWhite();
    VexaParameters p0 = baseParameters(s, 0), p1 = baseParameters(s, 1);
    p0.numThreads = p1.numThreads = 1; // same accumulation order
    Store store(p0, 32);
    const StageRun first = runHT(s, p0, nullptr, &store.s);
    ASSERT_EQ(first.status, VEXA_OK) << vexaLastMessage();
    const long long slots = store.counts.size();
    EXPECT_EQ(store.s.referenceCount, slots);
    for (int32_t c : store.counts)
        if (c != -1) {
            EXPECT_TRUE(c >= 1 && c <= 16 && (c & (c - 1)) == 0) << c;
        }

    const std::vector<int32_t> counts = store.counts, positions = store.positions;
    store.s.reuseMatches = 1;
    const StageRun again = runHT(s, p0, nullptr, &store.s);
    ASSERT_EQ(again.status, VEXA_OK) << vexaLastMessage();
    EXPECT_EQ(again.out, first.out);
    EXPECT_EQ(store.counts, counts); // reading back writes nothing
    EXPECT_EQ(store.positions, positions);
    EXPECT_EQ(store.s.referenceCount, slots);

    // The first stage's groups handed to the Wiener stage (pilot and noisy blocks).
    p1.maxGroupSize = 16;
    const StageRun reused = runWie(s, p1, first.out, nullptr, &store.s);
    ASSERT_EQ(reused.status, VEXA_OK) << vexaLastMessage();
    EXPECT_GT(psnr(s.clean, reused.out), psnr(s.clean, first.out));

    // A Wiener store filled and read back gives the same final estimate.
    Store own(p1, 16);
    const StageRun filled = runWie(s, p1, first.out, nullptr, &own.s);
    own.s.reuseMatches = 1;
    const StageRun read = runWie(s, p1, first.out, nullptr, &own.s);
    ASSERT_EQ(filled.status | read.status, VEXA_OK);
    EXPECT_EQ(filled.out, read.out);
}

TEST(StageConsistency, ReferenceCountOfTheGrid) {
    const Scene s = whiteScene({40, 40, 1}, piecewiseSmoothImage(40, 40), {32, 32, 1}, 0.1f, 3);
    VexaParameters p = baseParameters(s, 0);
    p.step = {4, 4, 1};
    Store store(p, 16);
    store.s.referenceCount = 99;
    ASSERT_EQ(runHT(s, p, nullptr, &store.s).status, VEXA_OK) << vexaLastMessage();
    EXPECT_EQ(store.s.referenceCount, 242);
    EXPECT_EQ(computeStageGeometry(parametersFromAbi(p)).referenceCount, 242);
}

TEST(StageConsistency, WindowedBuffersGiveTheSameOutput) {
    const Scene s = whiteScene({20, 20, 20}, phantomVolume(20), {8, 8, 8}, 0.1f, 5);
    VexaParameters p = baseParameters(s, 0);
    p.psdSize = {8, 8, 8};
    p.searchRadius = {2, 2, 2};
    const StageRun whole = runHT(s, p);
    ASSERT_EQ(whole.status, VEXA_OK) << vexaLastMessage();
    // z windowed (jobs slide their own buffers), and x windowed while z is
    // whole (never shared: every job would move the same buffers).
    const uint8_t splits[2][3] = {{0, 0, 1}, {1, 0, 0}};
    for (const auto& split : splits) {
        std::memcpy(p.splitBlockExtraction, split, 3);
        const Parameters internal = parametersFromAbi(p);
        EXPECT_FALSE(computeStageGeometry(internal).shareCollections);
        const StageRun windowed = runHT(s, p);
        ASSERT_EQ(windowed.status, VEXA_OK) << vexaLastMessage();
        EXPECT_LT(maxAbsDifference(windowed.out, whole.out), 1e-5f);
    }
}

TEST(StageConsistency, ProgressCountsEveryReferencePosition) {
    const Scene& s = image2DWhite();
    const VexaParameters p = baseParameters(s, 0);
    ASSERT_EQ(runHT(s, p).status, VEXA_OK);
    int64_t done = -1, total = -1;
    vexaGetProgress(&done, &total);
    Parameters internal = parametersFromAbi(p);
    repairShiftTables(internal);
    const long long expected = countReferencePositions(internal, computeStageGeometry(internal));
    EXPECT_EQ(total, expected);
    EXPECT_EQ(done, expected);
    EXPECT_EQ(expected, 20 * 20); // origins 0, 3, ..., 54 and 57 clamped to 56 per axis
}

// ================================================================== grid walk

namespace {

Parameters gridParameters(const Vec3<int>& size, const Vec3<int>& block, const Vec3<int>& step) {
    Parameters p;
    std::memset(&p, 0, sizeof p);
    p.imageSize = size;
    p.blockSize = block;
    p.step = step;
    p.searchRadius = {1, 1, 1};
    p.gridShiftCount = {1, 1, 1};
    p.gridShift = {ZERO, ZERO, ZERO};
    return p;
}

struct Recorder {
    std::vector<Vec3<int>> origins;
    std::vector<int> indexes;
    std::vector<int> rows;
    std::vector<Vec3<int>> moves;
    void move(const Vec3<int>& position, const Vec3<int>&) { moves.push_back(position); }
    bool reference(const Vec3<int>& origin, int index) {
        origins.push_back(origin);
        indexes.push_back(index);
        return true;
    }
    void rowDone(int n) { rows.push_back(n); }
};

Recorder walkAll(const Parameters& p) {
    const StageGeometry g = computeStageGeometry(p);
    Recorder r;
    for (int line = 0; line < g.lineCount; ++line) walkGridLine(p, g, line, r);
    return r;
}

std::vector<int> xs(const Recorder& r) {
    std::vector<int> v;
    for (const Vec3<int>& o : r.origins) v.push_back(o.x);
    return v;
}

} // namespace

TEST(GridWalk, WorkedExamplesAlongX) {
    // imageSize.x 10, blockSize.x 4: maxPos.x 6.
    Recorder r = walkAll(gridParameters({10, 4, 1}, {4, 4, 1}, {3, 4, 1}));
    EXPECT_EQ(xs(r), (std::vector<int>{0, 3, 6})); // 9 and 12 skipped
    r = walkAll(gridParameters({10, 4, 1}, {4, 4, 1}, {4, 4, 1}));
    EXPECT_EQ(xs(r), (std::vector<int>{0, 4, 6})); // 8 clamped to 6, 12 skipped
}

TEST(GridWalk, LastLineOfAnImageIsWalkedButSkipped) {
    const Parameters p = gridParameters({16, 64, 1}, {8, 8, 1}, {8, 8, 1});
    const StageGeometry g = computeStageGeometry(p);
    EXPECT_FALSE(g.is3D);
    EXPECT_EQ(g.sliceMove, (Vec3<int>{0, 8, 0}));
    EXPECT_EQ(g.lineCount, 9); // y = 0, 8, ..., 64
    const Recorder r = walkAll(p);
    ASSERT_EQ(r.rows.size(), 9u);
    EXPECT_EQ(r.rows.back(), 0);
    EXPECT_EQ(r.origins.size(), 8u * 2u);
    for (const Vec3<int>& o : r.origins) EXPECT_LE(o.y, 56);
}

TEST(GridWalk, ShiftTablesAreIndexedByTheOtherAxesAndFloorAtZero) {
    Parameters p = gridParameters({12, 4, 8}, {4, 4, 4}, {4, 4, 1});
    const int shiftX[3] = {1, 2, 3};
    p.gridShift.x = shiftX;
    p.gridShiftCount.x = 3;
    const Recorder r = walkAll(p);
    // Row z uses shiftX[z mod 3]; x = 0 shifted below 0 stays 0.
    std::vector<int> atFour;
    for (size_t i = 0; i < r.origins.size(); ++i) {
        if (r.origins[i].x == 0) continue;
        if (r.indexes[i] % 4 == 1) atFour.push_back(r.origins[i].x); // gx = 1 (x = 4)
    }
    ASSERT_GE(atFour.size(), 4u);
    EXPECT_EQ(std::vector<int>(atFour.begin(), atFour.begin() + 4), (std::vector<int>{3, 2, 1, 3}));
    for (const Vec3<int>& o : r.origins) EXPECT_GE(o.x, 0);
}

TEST(GridWalk, ReferenceIndexesAreUniqueInsideTheGrid) {
    const Parameters p = gridParameters({13, 10, 9}, {4, 4, 4}, {3, 4, 2});
    const StageGeometry g = computeStageGeometry(p);
    const Recorder r = walkAll(p);
    std::vector<int> seen(g.referenceCount, 0);
    for (int i : r.indexes) {
        ASSERT_GE(i, 0);
        ASSERT_LT(i, g.referenceCount);
        EXPECT_EQ(++seen[i], 1);
    }
    EXPECT_EQ(countReferencePositions(p, g), static_cast<long long>(r.origins.size()));
}

TEST(GridWalk, IndexPastTheGridWhenTheRestExceedsTheBlock) {
    // 11 mod 4 = 3 > blockSize 2: position x = 12 is processed with gx = 3 = nx.
    const Parameters p = gridParameters({11, 2, 1}, {2, 2, 1}, {4, 2, 1});
    const StageGeometry g = computeStageGeometry(p);
    const Recorder r = walkAll(p);
    int largest = 0;
    for (int i : r.indexes) largest = std::max(largest, i);
    EXPECT_GE(largest, 3); // collides with the next row's first slot
    EXPECT_EQ(g.gridStrides.y, 3);
}

TEST(GridWalk, JobsCutContiguousRunsAndSurplusJobsGetNothing) {
    int b = 0, e = 0;
    jobLineRange(9, 2, 0, b, e);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(e, 5);
    jobLineRange(9, 2, 1, b, e);
    EXPECT_EQ(b, 5);
    EXPECT_EQ(e, 9);
    for (int job = 3; job < 8; ++job) {
        jobLineRange(3, 8, job, b, e);
        EXPECT_GE(b, e) << job;
    }
    EXPECT_EQ(gridLineCount(64, 8), 9);
    EXPECT_EQ(gridLineCount(10, 3), 5); // 0, 3, 6, 9, 12
}

TEST(StageGeometryTest, WorkSizeAndSharing) {
    Parameters p = gridParameters({20, 20, 20}, {4, 4, 4}, {3, 3, 3});
    p.psdSymmetry = true;
    p.psdResampleSize = {8, 8, 8};
    EXPECT_EQ(workingSize(p), (Vec3<int>{5, 8, 8}));
    p.psdResampleSize = {8, 8, 4};
    EXPECT_EQ(workingSize(p), (Vec3<int>{8, 8, 4}));
    p.psdResampleSize = {7, 7, 1};
    EXPECT_EQ(workingSize(p), (Vec3<int>{5, 7, 1}));

    StageGeometry g = computeStageGeometry(p); // nothing windowed
    EXPECT_EQ(g.extractRadius, (Vec3<int>{20, 20, 20}));
    EXPECT_TRUE(g.wholeAxis && g.shareCollections);
    p.splitBlockExtraction[0] = true; // x windowed, z (the cut axis) whole
    g = computeStageGeometry(p);
    EXPECT_TRUE(g.wholeAxis);
    EXPECT_FALSE(g.shareCollections);
    p.splitBlockExtraction[0] = false;
    p.splitBlockExtraction[2] = true;
    p.searchRadius = {1, 1, 9}; // 2r + 1 < 20 <= 2r + 3: the box still covers z
    g = computeStageGeometry(p);
    EXPECT_FALSE(g.wholeAxis);
    EXPECT_TRUE(g.shareCollections);
}

// Lowest and highest voxel along the cut axis that each chunk's groups reach
// (-1 for a chunk without references).
void chunkReach(const Parameters& p, int chunk, std::vector<int>& lo, std::vector<int>& hi) {
    const StageGeometry g = computeStageGeometry(p);
    const int axisSize = g.is3D ? p.imageSize.z : p.imageSize.y;
    const int radius = g.is3D ? p.searchRadius.z : p.searchRadius.y;
    const int block = g.is3D ? p.blockSize.z : p.blockSize.y;
    lo.clear();
    hi.clear();
    for (int first = 0; first < g.lineCount; first += chunk) {
        Recorder r;
        for (int line = first; line < std::min(first + chunk, g.lineCount); ++line)
            walkGridLine(p, g, line, r);
        int a = axisSize, b = -1;
        for (const Vec3<int>& o : r.origins) {
            const int c = g.is3D ? o.z : o.y;
            a = std::min(a, std::max(c - radius, 0));
            b = std::max(b, std::min(c + radius, axisSize - block) + block - 1);
        }
        lo.push_back(a);
        hi.push_back(b);
    }
}

bool chunksTwoApartDisjoint(const Parameters& p, int chunk) {
    std::vector<int> lo, hi;
    chunkReach(p, chunk, lo, hi);
    for (std::size_t c = 0; c + 2 < lo.size(); ++c)
        if (hi[c] >= 0 && hi[c + 2] >= 0 && hi[c] >= lo[c + 2]) return false;
    return true;
}

// Chunks with one chunk between them run at the same time and add into the
// volumes without a lock, so they must never reach the same voxel; and the
// chunks are no longer than that needs (one line fewer lets two of them meet
// on a volume of some length), since long chunks leave a job idle at the end.
TEST(StageGeometryTest, LineChunksTwoApartNeverReachTheSameVoxel) {
    struct Case {
        Vec3<int> size, block, step, radius;
        std::vector<int> shifts;
    };
    const Case cases[] = {{{30, 30, 61}, {4, 4, 4}, {3, 3, 3}, {4, 4, 4}, {0}},
                          {{20, 20, 47}, {6, 6, 6}, {3, 3, 3}, {3, 3, 3}, {0}},
                          {{20, 20, 40}, {4, 4, 4}, {4, 4, 4}, {2, 2, 5}, {2}},
                          {{20, 20, 52}, {5, 5, 5}, {2, 2, 2}, {2, 2, 3}, {0, 3, -2, 1}},
                          {{12, 30, 50}, {6, 6, 6}, {6, 6, 6}, {1, 1, 1}, {0}},
                          {{40, 93, 1}, {8, 8, 1}, {3, 3, 1}, {8, 8, 0}, {1}},
                          {{40, 71, 1}, {7, 7, 1}, {5, 5, 1}, {6, 6, 0}, {0, 4}}};
    for (const Case& cs : cases) {
        const bool is3D = cs.size.z > 1;
        const int step = is3D ? cs.step.z : cs.step.y;
        auto parameters = [&](int extra) {
            Vec3<int> size = cs.size;
            (is3D ? size.z : size.y) += extra;
            Parameters p = gridParameters(size, cs.block, cs.step);
            p.searchRadius = cs.radius;
            // the shift along the cut axis is picked by the y row (the x column in 2-D)
            (is3D ? p.gridShift.z : p.gridShift.y) = cs.shifts.data();
            (is3D ? p.gridShiftCount.z : p.gridShiftCount.y) = static_cast<int>(cs.shifts.size());
            return p;
        };
        const Parameters first = parameters(0);
        const int chunk = scheduleChunkLines(first, computeStageGeometry(first));
        ASSERT_GE(chunk, 1);
        bool oneFewerMeets = false;
        // Lengths over two chunks' worth of steps: the clamped last line then
        // falls on every line of a chunk and at every distance below its grid
        // position.
        for (int extra = 0; extra < 2 * (chunk + 1) * step; ++extra) {
            const Parameters p = parameters(extra);
            ASSERT_EQ(scheduleChunkLines(p, computeStageGeometry(p)), chunk)
                << "chunks depend on the length";
            EXPECT_TRUE(chunksTwoApartDisjoint(p, chunk))
                << "length +" << extra << ", " << chunk << " lines";
            if (chunk > 1 && !chunksTwoApartDisjoint(p, chunk - 1)) oneFewerMeets = true;
        }
        EXPECT_TRUE(oneFewerMeets) << "chunks of " << chunk << " lines are longer than needed";
    }
}

TEST(StageGeometryTest, OddChunksWaitForBothEvenNeighbours) {
    LineSchedule s;
    s.reset(10, 2); // chunks 0 .. 4
    ASSERT_EQ(s.chunkCount, 5);
    EXPECT_EQ(s.take(), 0);
    EXPECT_EQ(s.take(), 2);
    s.done[0].store(true);
    EXPECT_EQ(s.take(), 4);  // chunk 1 still waits for chunk 2
    EXPECT_EQ(s.take(), -2); // nothing ready, work left
    s.done[2].store(true);
    EXPECT_EQ(s.take(), 1);
    EXPECT_EQ(s.take(), -2); // chunk 3 waits for chunk 4
    s.done[4].store(true);
    EXPECT_EQ(s.take(), 3);
    EXPECT_EQ(s.take(), -1);
    s.reset(3, 5); // one chunk longer than the lines
    EXPECT_EQ(s.chunkCount, 1);
    EXPECT_EQ(s.take(), 0);
    EXPECT_EQ(s.take(), -1);
}

TEST(StageGeometryTest, EvenChunksStayWithinTheLimitAheadOfTheLowestUnfinished) {
    LineSchedule s;
    s.reset(20, 2); // chunks 0 .. 9
    s.aheadLimit = 2;
    EXPECT_EQ(s.take(), 0);
    EXPECT_EQ(s.take(), 2);
    EXPECT_EQ(s.take(), -2); // chunk 4 is more than 2 ahead of chunk 0
    int lowest = -1;
    s.complete(0, [&](int low) { lowest = low; });
    EXPECT_EQ(lowest, 1);
    EXPECT_EQ(s.take(), -2); // 1 waits for 2; 4 is still more than 2 ahead of 1
    s.complete(2, [&](int low) { lowest = low; });
    EXPECT_EQ(lowest, 1);
    EXPECT_EQ(s.take(), 1);
    EXPECT_EQ(s.take(), -2);
    s.complete(1, [&](int low) { lowest = low; });
    EXPECT_EQ(lowest, 3);
    EXPECT_EQ(s.take(), 4);
    EXPECT_EQ(s.lowestUnfinished.load(), 3);
    EXPECT_EQ(s.completionCount(), 3);
    s.reset(20, 2);
    EXPECT_EQ(s.completionCount(), 0);
}

TEST(StageGeometryTest, AJobWithNothingReadySleepsUntilAChunkCompletes) {
    LineSchedule s;
    s.reset(6, 2); // chunks 0 .. 2
    EXPECT_EQ(s.take(), 0);
    EXPECT_EQ(s.take(), 2);
    const int seen = s.completionCount();
    EXPECT_EQ(s.take(), -2); // chunk 1 waits for both neighbours
    std::atomic<int> got{-3};
    std::thread waiter([&] {
        int chunk = -2;
        for (int seenNow = seen; chunk == -2; seenNow = s.completionCount()) {
            s.waitForProgress(seenNow);
            chunk = s.take();
        }
        got.store(chunk);
    });
    s.complete(0, [](int) {});
    s.complete(2, [](int) {});
    waiter.join();
    EXPECT_EQ(got.load(), 1);
    // A completion before the wait is not missed: the wait returns at once.
    s.waitForProgress(seen);
    EXPECT_EQ(s.completionCount(), 2);
}

// The weights ring: groups added line by line with the stage's reach (search
// window, block, grid shifts along the cut axis), slices finalised behind the
// walk, give the whole-volume normalisation bit for bit.
TEST(StageGeometryTest, WeightRingFinalisesSlicesLikeTheWholeVolume) {
    const int32_t shifts[3] = {0, 2, 1};
    for (int is3D = 0; is3D < 2; ++is3D) {
        const Vec3<int> size = is3D ? Vec3<int>{9, 7, 61} : Vec3<int>{11, 53, 1};
        const Vec3<int> block = is3D ? Vec3<int>{3, 3, 3} : Vec3<int>{4, 4, 1};
        Parameters p = gridParameters(size, block, {3, 3, 3});
        p.searchRadius = is3D ? Vec3<int>{2, 2, 2} : Vec3<int>{2, 3, 0};
        if (is3D) {
            p.gridShiftCount.z = 3;
            p.gridShift.z = shifts;
        } else {
            p.gridShiftCount.y = 3;
            p.gridShift.y = shifts;
        }
        const StageGeometry g = computeStageGeometry(p);
        SliceFinaliser finaliser(p, g, 1);
        ASSERT_LT(finaliser.depth(), g.sliceCount);
        const int voxels = size.volume();
        std::mt19937 rng(5 + is3D);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f), variance(0.01f, 2.0f);
        std::vector<float> noisy(voxels);
        for (float& v : noisy) v = value(rng);
        ImageData<float> noisyView(noisy.data(), size);
        std::vector<float> outFull(voxels, 0.0f), outRing(voxels, 0.0f);
        ImageDataMutable<float> fullOut(outFull.data(), size), ringOut(outRing.data(), size);
        ImageDataMutable<float> fullWeights = ImageDataMutable<float>::allocateZeroed(size);
        ImageDataMutable<float> ringWeights;
        ringWeights._size = size;
        ASSERT_TRUE(finaliser.allocate(ringWeights));
        ASSERT_GT(ringWeights._ringElements, 0);
        const int axis = is3D ? 2 : 1;
        const int blockVolume = block.volume();
        std::vector<float> window(blockVolume), estimates(4 * blockVolume), blockVariances(4);
        for (int line = 0; line < g.lineCount; ++line) {
            const int pos = line * g.sliceStep;
            for (int ref = 0; ref < 3; ++ref) {
                // The reference on the cut axis, as the walk places it.
                const int shifted = std::max(pos - shifts[ref], 0);
                const int rc = std::min(shifted, component(g.maxPos, axis));
                const int r = component(p.searchRadius, axis);
                std::uniform_int_distribution<int> cut(std::max(rc - r, 0),
                                                       std::min(rc + r, component(g.maxPos, axis)));
                std::uniform_int_distribution<int> x(0, g.maxPos.x), y(0, g.maxPos.y);
                BlockDistance<float> members[4];
                for (auto& m : members) {
                    m.position = is3D ? Vec3<int>{x(rng), y(rng), cut(rng)}
                                      : Vec3<int>{x(rng), cut(rng), 0};
                }
                // Every reach counts, the lowest and highest slices included.
                members[0].position = is3D ? Vec3<int>{0, 0, std::max(rc - r, 0)}
                                           : Vec3<int>{0, std::max(rc - r, 0), 0};
                for (float& v : window) v = variance(rng);
                for (float& v : estimates) v = value(rng);
                for (float& v : blockVariances) v = variance(rng);
                aggregateGroup(members, 4, estimates.data(), blockVariances.data(), window.data(),
                               block, fullOut, fullWeights);
                aggregateGroup(members, 4, estimates.data(), blockVariances.data(), window.data(),
                               block, ringOut, ringWeights);
            }
            finaliser.linesDone(line + 1, ringOut, ringWeights, noisyView);
        }
        finaliser.finishAll(ringOut, ringWeights, noisyView);
        normaliseOutput(fullOut, fullWeights, noisyView);
        EXPECT_EQ(outRing, outFull) << (is3D ? "volume" : "image");
        // Slices no group reached keep the noisy value in both.
        EXPECT_EQ(finaliser.lowestReached(g.lineCount), g.sliceCount);
        EXPECT_EQ(finaliser.lowestReached(0), 0);
    }
}

// ================================================================== bad input

namespace {

struct Rejection {
    int status;
    std::string message;
    bool outputUntouched;
};

const float kSentinel = 7.0f;

Rejection rejectHT(const Scene& s, const VexaParameters& p, BlockMatchStorage* storage = nullptr) {
    std::vector<float> out(voxels(s.size), kSentinel);
    const int status =
        vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, noTransforms(), out.data(), storage);
    bool untouched = true;
    for (float v : out) untouched = untouched && v == kSentinel;
    return {status, vexaLastMessage(), untouched};
}

Rejection rejectWie(const Scene& s, const VexaParameters& p, const float* basic,
                    BlockMatchStorage* storage = nullptr) {
    std::vector<float> out(voxels(s.size), kSentinel);
    const int status = vexaInterfaceWie(s.noisy.data(), s.psd.data(), p, noTransforms(), basic,
                                        out.data(), storage);
    bool untouched = true;
    for (float v : out) untouched = untouched && v == kSentinel;
    return {status, vexaLastMessage(), untouched};
}

void expectRejected(const Rejection& r, const std::string& names) {
    EXPECT_EQ(r.status, VEXA_ERROR_INVALID_ARGUMENT) << r.message;
    EXPECT_EQ(lineCount(r.message.c_str()), 1) << r.message;
    EXPECT_NE(r.message.find(names), std::string::npos) << r.message;
    EXPECT_TRUE(r.outputUntouched);
}

const Scene& smallImage() {
    static const Scene s =
        whiteScene({40, 40, 1}, piecewiseSmoothImage(40, 40), {32, 32, 1}, 0.1f, 21);
    return s;
}

} // namespace

TEST(StageValidation, ParametersAreRejectedInOneLineBeforeAnyWork) {
    const Scene& s = smallImage();
    const VexaParameters good = baseParameters(s, 0);
    VexaParameters p = good;
    p.step = {1, 1, 0};
    expectRejected(rejectHT(s, p), "params.step > 0");
    p = good;
    p.imageSize = {6, 40, 1}; // blocks of 8 do not fit
    expectRejected(rejectHT(s, p), "blockSize");
    p = good;
    p.maxGroupSize = 0;
    expectRejected(rejectHT(s, p), "maxGroupSize");
    p = good;
    p.maxGroupSize = 128; // the built-in group tables end at 64
    expectRejected(rejectHT(s, p), "maxGroupSize");
    p = good;
    p.searchRadius = {8, -1, 0};
    expectRejected(rejectHT(s, p), "searchRadius");
    p = good;
    p.numThreads = 100000;
    expectRejected(rejectHT(s, p), "numThreads");
    p = good;
    p.psdResampleSize = {12, 12, 1};
    expectRejected(rejectHT(s, p), "psdResampleSize");
    p = good;
    p.step = {2147483640, 3, 1};
    expectRejected(rejectHT(s, p), "step");
    p = baseParameters(s, 1);
    p.wienerFactor = 0.0f;
    expectRejected(rejectWie(s, p, s.clean.data()), "wienerFactor");
    p.wienerFactor = std::nanf("");
    expectRejected(rejectWie(s, p, s.clean.data()), "wienerFactor");
    expectRejected(rejectWie(s, baseParameters(s, 1), nullptr), "basicEstimate");
    // Nothing was left running: the next call works.
    EXPECT_EQ(runHT(s, good).status, VEXA_OK);
}

TEST(StageValidation, MatchStoreIsNeverReadOrWrittenOutOfBounds) {
    const Scene& s = smallImage();
    VexaParameters p = baseParameters(s, 0);
    {
        Store store(p, 8); // fewer slots per reference than maxGroupSize 16
        expectRejected(rejectHT(s, p, &store.s), "maxMatches");
        EXPECT_EQ(store.counts, std::vector<int32_t>(store.counts.size(), -1));
    }
    {
        Store store(p, 16);
        store.s.matchRelativePositions = nullptr;
        expectRejected(rejectHT(s, p, &store.s), "matchRelativePositions");
    }
    {
        VexaParameters q = p;
        q.imageSize = {49, 40, 1};
        q.step = {10, 4, 1}; // 49 mod 10 = 9 > blockSize 8
        Scene wide = whiteScene({49, 40, 1}, piecewiseSmoothImage(49, 40), {32, 32, 1}, 0.1f, 2);
        Store store(q, 16);
        expectRejected(rejectHT(wide, q, &store.s), "imageSize mod step");
        // The same grid without a store runs.
        EXPECT_EQ(runHT(wide, q).status, VEXA_OK) << vexaLastMessage();
    }
    {
        VexaParameters q = p;
        q.step = {4, 4, 1}; // 40 mod 4 = 0, but a shift of 9 passes the block
        const int32_t shift[2] = {9, 0};
        q.gridShift.x = shift;
        q.gridShiftCount.x = 2;
        Store store(q, 16);
        expectRejected(rejectHT(s, q, &store.s), "largest gridShift");
    }
}

TEST(StageValidation, ReusedStoreMustMatchThisGrid) {
    const Scene& s = smallImage();
    VexaParameters p = baseParameters(s, 0);
    p.numThreads = 1;
    Store store(p, 16);
    ASSERT_EQ(runHT(s, p, nullptr, &store.s).status, VEXA_OK);
    store.s.reuseMatches = 1;
    const Store saved = store;

    auto restore = [&] {
        store.counts = saved.counts;
        store.positions = saved.positions;
        store.relative = saved.relative;
        store.s = saved.s;
        store.s.matchCounts = store.counts.data();
        store.s.matchPositions = store.positions.data();
        store.s.matchRelativePositions = store.relative.data();
    };
    store.s.referenceCount = 5;
    expectRejected(rejectHT(s, p, &store.s), "referenceCount");
    EXPECT_EQ(store.s.referenceCount, 5);
    restore();
    store.counts[7] = 3;
    expectRejected(rejectHT(s, p, &store.s), "matchCounts[7]");
    restore();
    store.counts[7] = 32; // more than maxGroupSize
    expectRejected(rejectHT(s, p, &store.s), "matchCounts[7]");
    restore();
    store.positions[(7 * 16 + 0) * 3 + 0] = 39; // beyond the last block origin
    expectRejected(rejectHT(s, p, &store.s), "slot 7");
    restore();
    store.relative[(7 * 16 + 0) * 3 + 1] = -1;
    expectRejected(rejectHT(s, p, &store.s), "slot 7");
    restore();
    VexaParameters q = p;
    q.maxGroupSize = 8; // stored groups of 16 do not fit
    bool anyLarge = false;
    for (int32_t c : store.counts) anyLarge = anyLarge || c > 8;
    ASSERT_TRUE(anyLarge);
    expectRejected(rejectHT(s, q, &store.s), "matchCounts");
    EXPECT_EQ(runHT(s, p, nullptr, &store.s).status, VEXA_OK);
}

TEST(StageRobustness, UncoveredVoxelsTakeTheNoisyValue) {
    const Scene& s = smallImage();
    VexaParameters p = baseParameters(s, 0);
    p.step = {12, 12, 1}; // gaps of 4 between the reference blocks of 8
    p.maxGroupSize = 1;   // and no matched blocks to fill them
    const StageRun r = runHT(s, p);
    ASSERT_EQ(r.status, VEXA_OK) << vexaLastMessage();
    EXPECT_TRUE(allFinite(r.out));
    for (int y = 0; y < 40; ++y)
        for (int x = 8; x < 12; ++x) EXPECT_EQ(r.out[x + 40 * y], s.noisy[x + 40 * y]);
    EXPECT_NE(r.out[0], s.noisy[0]);
}

// Shift entries beyond the box margin: the windowed buffers still cover the
// search window of every shifted reference.
// Job buffers are rings that slide over the search window; their slots must
// hold exactly the blocks of a whole-volume extraction, so every windowing
// gives the output of whole buffers bit for bit on one thread, with odd sizes,
// grid shifts (which move the references back and forth) and both stages.
TEST(StageConsistency, WindowedRingsEqualWholeBuffersBitForBit) {
    const VexaVec3i size{23, 19, 21};
    std::vector<float> clean(voxels(size));
    for (int z = 0; z < size.z; ++z)
        for (int y = 0; y < size.y; ++y)
            for (int x = 0; x < size.x; ++x)
                clean[(z * size.y + y) * size.x + x] =
                    0.5f + 0.3f * std::sin(0.4f * x + 0.25f * y) * std::cos(0.3f * z) +
                    ((x / 6 + y / 5 + z / 7) % 2 ? 0.1f : -0.1f);
    const Scene s = whiteScene(size, clean, {8, 8, 8}, 0.1f, 41);
    const int32_t shiftsX[3] = {0, 2, 1}, shiftsY[2] = {1, 0}, shiftsZ[3] = {0, 3, 1};
    for (int shifted = 0; shifted < 2; ++shifted) {
        VexaParameters p = baseParameters(s, 0);
        p.psdSize = {8, 8, 8};
        p.numThreads = 1;
        p.step = {3, 2, 3};
        p.searchRadius = {3, 2, 3};
        if (shifted) {
            p.gridShiftCount = {3, 2, 3};
            p.gridShift = {shiftsX, shiftsY, shiftsZ};
        }
        const StageRun whole = runHT(s, p);
        ASSERT_EQ(whole.status, VEXA_OK) << vexaLastMessage();
        VexaParameters q = p;
        q.maxGroupSize = 32;
        const StageRun wholeWie = runWie(s, q, whole.out);
        ASSERT_EQ(wholeWie.status, VEXA_OK) << vexaLastMessage();
        const uint8_t splits[4][3] = {{0, 0, 1}, {0, 1, 1}, {1, 1, 1}, {1, 0, 0}};
        for (const auto& split : splits) {
            std::memcpy(p.splitBlockExtraction, split, 3);
            std::memcpy(q.splitBlockExtraction, split, 3);
            ASSERT_FALSE(computeStageGeometry(parametersFromAbi(p)).shareCollections);
            const StageRun ht = runHT(s, p);
            ASSERT_EQ(ht.status, VEXA_OK) << vexaLastMessage();
            EXPECT_EQ(ht.out, whole.out) << "split " << int(split[0]) << int(split[1])
                                         << int(split[2]) << ", shifted " << shifted;
            const StageRun wie = runWie(s, q, whole.out);
            ASSERT_EQ(wie.status, VEXA_OK) << vexaLastMessage();
            EXPECT_EQ(wie.out, wholeWie.out) << "split " << int(split[0]) << int(split[1])
                                             << int(split[2]) << ", shifted " << shifted;
        }
    }
}

TEST(StageRobustness, LargeGridShiftsWithWindowedBuffers) {
    const int32_t shifts[4] = {0, 5, 2, 4};
    {
        const Scene s = whiteScene({24, 24, 24}, phantomVolume(24), {8, 8, 8}, 0.1f, 21);
        VexaParameters p = baseParameters(s, 0);
        p.psdSize = {8, 8, 8};
        p.step = {4, 4, 4};
        p.searchRadius = {2, 2, 2};
        const uint8_t split[3] = {0, 1, 1};
        std::memcpy(p.splitBlockExtraction, split, 3);
        p.gridShiftCount = {4, 4, 4};
        p.gridShift = {shifts, shifts, shifts};
        const StageRun ht = runHT(s, p);
        ASSERT_EQ(ht.status, VEXA_OK) << vexaLastMessage();
        EXPECT_TRUE(allFinite(ht.out));
        EXPECT_GT(psnr(s.clean, ht.out), psnr(s.clean, s.noisy) + 3.0);
        VexaParameters q = p;
        q.maxGroupSize = 32;
        const StageRun wie = runWie(s, q, ht.out);
        ASSERT_EQ(wie.status, VEXA_OK) << vexaLastMessage();
        EXPECT_TRUE(allFinite(wie.out));
    }
    {
        const Scene& s = smallImage();
        VexaParameters p = baseParameters(s, 0);
        p.step = {4, 4, 1};
        p.searchRadius = {3, 3, 0};
        const uint8_t split[3] = {1, 1, 0};
        std::memcpy(p.splitBlockExtraction, split, 3);
        p.gridShiftCount = {4, 4, 1};
        p.gridShift = {shifts, shifts, shifts};
        const StageRun ht = runHT(s, p);
        ASSERT_EQ(ht.status, VEXA_OK) << vexaLastMessage();
        EXPECT_TRUE(allFinite(ht.out));
    }
}

TEST(StageRobustness, GroupsOfOneBlockWithTheBuiltInTables) {
    const Scene& s = smallImage();
    VexaParameters p = baseParameters(s, 0);
    p.maxGroupSize = 1;
    const StageRun ht = runHT(s, p);
    ASSERT_EQ(ht.status, VEXA_OK) << vexaLastMessage();
    EXPECT_TRUE(allFinite(ht.out));
    EXPECT_GT(psnr(s.clean, ht.out), psnr(s.clean, s.noisy) + 3.0);
    VexaParameters q = baseParameters(s, 1);
    q.maxGroupSize = 1;
    const StageRun wie = runWie(s, q, ht.out);
    ASSERT_EQ(wie.status, VEXA_OK) << vexaLastMessage();
    EXPECT_TRUE(allFinite(wie.out));
}

TEST(StageRobustness, CancelledStageReleasesAndReportsCancelled) {
    const Scene& s = smallImage();
    Parameters p = parametersFromAbi(baseParameters(s, 0));
    repairShiftTables(p);
    const TransformsMeta<float> meta =
        prepareTransforms(HT, TransformSource::Default2D, Transforms<float>{}, p);
    ImageData<float> noisy(s.noisy.data(), p.imageSize);
    std::vector<float> out(voxels(s.size), 0.0f);
    ImageDataMutable<float> output(out.data(), p.imageSize);
    beginReportCall();
    stageProgress().cancelRequested.store(true);
    const bool ran = vexaLoop<HT, float>(noisy, s.psd.data(), p, meta, output, nullptr, nullptr);
    stageProgress().cancelRequested.store(false);
    EXPECT_FALSE(ran);
    EXPECT_EQ(reportedStatus(), Status::Cancelled);
    EXPECT_STREQ(reportedMessages(), "Cancelled");
    EXPECT_TRUE(allFinite(out));
    EXPECT_TRUE(ThreadPool::THREAD_POOL._threads.empty());
    EXPECT_EQ(runHT(s, baseParameters(s, 0)).status, VEXA_OK);
}

// ================================================================== failures

namespace {

// Every test here installs an allocation hook; it is removed afterwards.
class StageFailures : public ::testing::Test {
  protected:
    void TearDown() override { setAllocationFailureHook({}); }

    // A 12^3 volume with the built-in 4x4x4 set: the entry point allocates
    // only the two group kind tables, so the stage's allocations follow them.
    static const Scene& volume() {
        static const Scene s = whiteScene({12, 12, 12}, phantomVolume(12), {8, 8, 8}, 0.1f, 31);
        return s;
    }
    static VexaParameters parameters() {
        VexaParameters p = baseParameters(volume(), 0);
        p.searchRadius = {2, 2, 2};
        p.numThreads = 1;
        return p;
    }
    // Byte sizes of every allocation of a good run, in order.
    static std::vector<size_t> recordSizes(const VexaParameters& p) {
        auto sizes = std::make_shared<std::vector<size_t>>();
        setAllocationFailureHook([sizes](size_t bytes) {
            sizes->push_back(bytes);
            return false;
        });
        std::vector<float> out(voxels(volume().size), 0.0f);
        EXPECT_EQ(vexaInterfaceHT(volume().noisy.data(), volume().psd.data(), p, noTransforms(),
                                  out.data(), nullptr),
                  VEXA_OK);
        setAllocationFailureHook({});
        return *sizes;
    }
    static void failAt(size_t index) {
        auto count = std::make_shared<std::atomic<size_t>>(0);
        setAllocationFailureHook([count, index](size_t) { return (*count)++ == index; });
    }
    // The bytes of a block buffer of `slots` 4x4x4 blocks.
    static size_t blockBufferBytes(size_t slots) { return sizeof(float) * 64 * slots; }
    static void failSize(size_t bytes) {
        setAllocationFailureHook([bytes](size_t b) { return b == bytes; });
    }
    static size_t firstOfSize(const std::vector<size_t>& sizes, size_t bytes, size_t from = 0) {
        for (size_t i = from; i < sizes.size(); ++i)
            if (sizes[i] == bytes) return i;
        ADD_FAILURE() << "no allocation of " << bytes << " bytes";
        return sizes.size();
    }
    static bool hasLine(const std::string& messages, const std::string& line) {
        size_t start = 0;
        while (start <= messages.size()) {
            size_t end = messages.find('\n', start);
            if (end == std::string::npos) end = messages.size();
            if (messages.compare(start, end - start, line) == 0) return true;
            start = end + 1;
        }
        return false;
    }
    // The stage fails with the given message and leaves output as it was.
    static void expectOutOfMemory(const VexaParameters& p, const std::string& line) {
        const Rejection r = rejectHT(volume(), p);
        setAllocationFailureHook({});
        EXPECT_EQ(r.status, VEXA_ERROR_OUT_OF_MEMORY) << r.message;
        EXPECT_TRUE(hasLine(r.message, line)) << r.message;
        EXPECT_TRUE(r.outputUntouched) << line;
        // The pool was cleared: the next call runs.
        EXPECT_EQ(runHT(volume(), p).status, VEXA_OK) << vexaLastMessage();
    }
};

} // namespace

TEST_F(StageFailures, FailureTableBeforeTheJobs) {
    const VexaParameters p = parameters();
    const std::vector<size_t> sizes = recordSizes(p);
    const size_t kinds = sizeof(TransformsMetas::StandardTransform) * (p.maxGroupSize + 1);
    ASSERT_GE(sizes.size(), 2u);
    EXPECT_EQ(sizes[0], kinds);
    EXPECT_EQ(sizes[1], kinds);
    const size_t weights = firstOfSize(sizes, sizeof(float) * 12 * 12 * 12);
    ASSERT_GE(weights, 11u); // after the nine scratch buffers of the stage thread
    EXPECT_EQ(sizes[weights + 1], sizeof(float) * 5 * 5 * 5); // distanceBias

    // Without the kind tables the group transforms take the plain product,
    // and without the factored noise table (4x5 + 4x8 + 4x8 floats on the
    // folded 8^3 grid, rounded up to eight; a PSD that is not flat adds its
    // 8 x 8 x 8 padded rows) the variances take the full table: slower, the
    // same estimate up to rounding, not a failure.
    const StageRun good = runHT(volume(), p);
    ASSERT_EQ(good.status, VEXA_OK);
    const size_t factors = sizeof(float) * 88;
    firstOfSize(sizes, factors, weights + 2);
    for (int degrade = 0; degrade < 3; ++degrade) {
        if (degrade < 2)
            failAt(degrade);
        else
            failSize(factors);
        const StageRun r = runHT(volume(), p);
        setAllocationFailureHook({});
        ASSERT_EQ(r.status, VEXA_OK) << degrade << ": " << vexaLastMessage();
        for (size_t i = 0; i < r.out.size(); ++i)
            ASSERT_NEAR(r.out[i], good.out[i], 1e-4f) << degrade << " at " << i;
    }
    std::vector<float> shaped = volume().psd;
    for (size_t i = 0; i < shaped.size(); ++i) shaped[i] *= 0.5f + float(i % 7) / 6.0f;
    const StageRun goodShaped = runHT(volume(), p, &shaped);
    ASSERT_EQ(goodShaped.status, VEXA_OK);
    failSize(factors + sizeof(float) * 8 * 8 * 8);
    const StageRun shapedFallback = runHT(volume(), p, &shaped);
    setAllocationFailureHook({});
    ASSERT_EQ(shapedFallback.status, VEXA_OK) << vexaLastMessage();
    bool moved = false;
    for (size_t i = 0; i < goodShaped.out.size(); ++i) {
        ASSERT_NEAR(shapedFallback.out[i], goodShaped.out[i], 1e-4f) << "shaped at " << i;
        moved = moved || shapedFallback.out[i] != goodShaped.out[i];
    }
    EXPECT_TRUE(moved) << "the allocation failed, so the full table served (other roundings)";
    failAt(2);
    expectOutOfMemory(p, "Error: could not allocate working memory");
    failAt(weights);
    expectOutOfMemory(p, "Failed to allocate memory for buffer.");
    failAt(weights + 1);
    expectOutOfMemory(p, "Could not allocate memory for variances");
    failSize(sizeof(float) * 64 * 512); // K3fT3 (and its response product)
    expectOutOfMemory(p, "Could not allocate memory for variances");
    failAt(firstOfSize(sizes, sizeof(float) * 64, weights + 2)); // localVar
    expectOutOfMemory(p, "Could not allocate memory for variances");
    failSize(sizeof(float) * 64 * 2); // the pair scratch of the bias table
    expectOutOfMemory(p, "Could not allocate memory for variances");
    failSize(blockBufferBytes(9 * 9 * 9)); // whole-volume block buffers
    expectOutOfMemory(p, "Failed to allocate block memory");
}

TEST_F(StageFailures, JobWithoutBlockBuffersFailsTheStage) {
    VexaParameters p = parameters();
    p.splitBlockExtraction[2] = 1;
    p.searchRadius = {2, 2, 1}; // z windowed: every job allocates its own buffers
    p.numThreads = 2;
    // Slots per job buffer: 9 x 9 x the z search window, 2 * 1 + 1.
    failSize(blockBufferBytes(9 * 9 * 3));
    std::vector<float> out(voxels(volume().size), 0.0f);
    const int status = vexaInterfaceHT(volume().noisy.data(), volume().psd.data(), p,
                                       noTransforms(), out.data(), nullptr);
    setAllocationFailureHook({});
    const std::string messages = vexaLastMessage();
    EXPECT_EQ(status, VEXA_ERROR_OUT_OF_MEMORY);
    EXPECT_TRUE(hasLine(messages, "Failed to allocate block memory")) << messages;
    EXPECT_EQ(out, volume().noisy); // nothing filtered, no 0/0
}

TEST_F(StageFailures, JobWithoutWorkingMemoryFailsTheStage) {
    VexaParameters p = parameters();
    p.numThreads = 2;
    // The group cubes of every job (the stage thread allocates none of this size).
    setAllocationFailureHook([](size_t bytes) { return bytes == sizeof(float) * 64 * 16; });
    std::vector<float> out(voxels(volume().size), 0.0f);
    const int status = vexaInterfaceHT(volume().noisy.data(), volume().psd.data(), p,
                                       noTransforms(), out.data(), nullptr);
    setAllocationFailureHook({});
    const std::string messages = vexaLastMessage();
    EXPECT_EQ(status, VEXA_ERROR_OUT_OF_MEMORY);
    EXPECT_TRUE(hasLine(messages, "Error: could not allocate working memory")) << messages;
    EXPECT_EQ(out, volume().noisy);
}

TEST_F(StageFailures, ExceptionInAJobEndsTheStageWithOneLine) {
    VexaParameters p = parameters();
    p.splitBlockExtraction[2] = 1;
    p.searchRadius = {2, 2, 1};
    p.numThreads = 2;
    for (int kind = 0; kind < 2; ++kind) {
        // Both jobs throw when they allocate their block buffers (whichever
        // thread runs them); the first one is reported.
        setAllocationFailureHook([kind](size_t bytes) -> bool {
            if (bytes == blockBufferBytes(9 * 9 * 3)) {
                if (kind == 0) checkFailed("injected check");
                throw std::runtime_error("injected error");
            }
            return false;
        });
        std::vector<float> out(voxels(volume().size), 0.0f);
        const int status = vexaInterfaceHT(volume().noisy.data(), volume().psd.data(), p,
                                           noTransforms(), out.data(), nullptr);
        setAllocationFailureHook({});
        const std::string messages = vexaLastMessage();
        EXPECT_EQ(status, VEXA_ERROR_INTERNAL);
        EXPECT_EQ(messages, kind == 0 ? "Internal check failed: injected check"
                                      : "Internal error: injected error");
        EXPECT_TRUE(allFinite(out));
        EXPECT_TRUE(ThreadPool::THREAD_POOL._threads.empty());
    }
    EXPECT_EQ(runHT(volume(), p).status, VEXA_OK);
}

// ========================================================== argument checks

TEST(ArgumentChecks, ShiftTableRepair) {
    const int table5[5] = {0, 1, 2, 3, 4};
    const int table1[1] = {7};
    Parameters p = paramsWith({8, 8, 1}, 16);
    p.gridShiftCount = {0, 1, 5};
    p.gridShift = {nullptr, table1, table5};
    EXPECT_EQ(repairShiftTables(p), "");
    EXPECT_EQ(p.gridShiftCount.x, 1);
    EXPECT_EQ(p.gridShiftCount.y, 1);
    EXPECT_EQ(p.gridShiftCount.z, 5);
    EXPECT_EQ(p.gridShift.x, ZERO);
    EXPECT_EQ(p.gridShift.y, ZERO);
    EXPECT_EQ(p.gridShift.z, table5);

    p.gridShiftCount = {-4, 3, 2};
    p.gridShift = {table5, nullptr, table5};
    const std::string message = repairShiftTables(p);
    EXPECT_NE(message.find("gridShift.y"), std::string::npos) << message;
    EXPECT_NE(message.find("gridShiftCount.y = 3"), std::string::npos) << message;
    EXPECT_EQ(p.gridShift.x, ZERO);
    EXPECT_EQ(p.gridShiftCount.x, 1);
}
TEST(ArgumentChecks, CallerSetsWithNullMatricesAreNamed) {
    const Parameters p = paramsWith({8, 8, 1}, 16);
    EXPECT_EQ(checkTransformSet(setWith(DCT_8_FWD, DCT_8_FWD, ONE), p), "");
    Transforms<float> t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.inverse.y = nullptr;
    EXPECT_NE(checkTransformSet(t, p).find("transforms.inverse.y"), std::string::npos);
    t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.window = nullptr;
    EXPECT_NE(checkTransformSet(t, p).find("transforms.window"), std::string::npos);
    std::vector<const float*> holes(HAAR_NL_FWD, HAAR_NL_FWD + 65);
    holes[8] = nullptr;
    t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.groupForward = holes.data();
    const std::string message = checkTransformSet(t, p);
    EXPECT_NE(message.find("transforms.groupForward[8]"), std::string::npos) << message;
    EXPECT_NE(message.find("maxGroupSize (16)"), std::string::npos) << message;
    // Lengths beyond maxGroupSize are never formed, so their holes are fine.
    EXPECT_EQ(checkTransformSet(t, paramsWith({8, 8, 1}, 7)), "");
}
TEST(ArgumentChecks, BuiltInGroupTablesAreNeverIndexedPastLength64) {
    Transforms<float> t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.groupForward = nullptr;
    t.groupInverse = nullptr;
    fillDefaultGroupTables(t);
    EXPECT_EQ(checkTransformSet(t, paramsWith({8, 8, 1}, 64)), "");
    const std::string message = checkTransformSet(t, paramsWith({8, 8, 1}, 128));
    EXPECT_NE(message.find("maxGroupSize = 128"), std::string::npos) << message;
    EXPECT_NE(message.find("between 1 and 64"), std::string::npos) << message;
}

TEST(Validation, ResampleSizeMustSuitTheFourierRoutines) {
    Parameters p = noiseParams({8, 8, 1}, {3, 8, 8}, false, 16, 8, {8, 8, 1});
    EXPECT_EQ(validateNoiseParameters(p), "Invalid parameter: psdResampleSize = (3, 8, 8); every "
                                          "component must be one of 1, 4, 8, 16, 32, 64");
    for (Vec3<int> bad :
         {Vec3<int>{8, 8, 0}, Vec3<int>{128, 8, 8}, Vec3<int>{8, -8, 8}, Vec3<int>{8, 2, 8}}) {
        p.psdResampleSize = bad;
        const std::string m = validateNoiseParameters(p);
        EXPECT_NE(m.find("psdResampleSize = (" + std::to_string(bad.x) + ", " +
                         std::to_string(bad.y) + ", " + std::to_string(bad.z) + ")"),
                  std::string::npos)
            << m;
        EXPECT_NE(m.find("1, 4, 8, 16, 32, 64"), std::string::npos) << m;
    }
    for (Vec3<int> good :
         {Vec3<int>{1, 8, 8}, Vec3<int>{64, 64, 1}, Vec3<int>{1, 1, 1}, Vec3<int>{4, 16, 32}}) {
        p.psdResampleSize = good;
        EXPECT_EQ(validateNoiseParameters(p), "") << good.x << "," << good.y << "," << good.z;
        p.psdSymmetry = !p.psdSymmetry;
        EXPECT_EQ(validateNoiseParameters(p), "");
    }
}

TEST(Validation, SizesAndProductsInRange) {
    Parameters p = noiseParams({8, 8, 1}, {8, 8, 1}, false, 16, 8, {0, 8, 1});
    std::string m = validateNoiseParameters(p);
    EXPECT_NE(m.find("psdSize = (0, 8, 1)"), std::string::npos) << m;
    p.psdSize = {8, 8, 1};
    p.varianceGroupSize = -1;
    EXPECT_NE(validateNoiseParameters(p).find("varianceGroupSize = -1"), std::string::npos);
    p.varianceGroupSize = 0;
    EXPECT_EQ(validateNoiseParameters(p), "");

    // 64^3 points times 8192 members is 2^31, one past the range of int.
    p.psdResampleSize = {64, 64, 64};
    p.maxGroupSize = 8192;
    m = validateNoiseParameters(p);
    EXPECT_NE(m.find("maxGroupSize = 8192"), std::string::npos) << m;
    p.maxGroupSize = 8191;
    EXPECT_EQ(validateNoiseParameters(p), "");
    p.maxGroupSize = 16;
    p.blockSize = {64, 64, 2};
    m = validateNoiseParameters(p);
    EXPECT_NE(m.find("blockSize = (64, 64, 2)"), std::string::npos) << m;
}

// ================================================================== limits

namespace {

// The largest single allocation of a call; allocations above `refuse` fail.
struct LargestAllocation {
    std::shared_ptr<size_t> largest = std::make_shared<size_t>(0);
    explicit LargestAllocation(size_t refuse) {
        auto largestSeen = largest;
        setAllocationFailureHook([largestSeen, refuse](size_t bytes) {
            *largestSeen = std::max(*largestSeen, bytes);
            return bytes > refuse;
        });
    }
    ~LargestAllocation() { setAllocationFailureHook({}); }
};

const Scene& tinyImage() {
    static const Scene s = whiteScene({16, 16, 1}, piecewiseSmoothImage(16, 16), {16, 16, 1},
                                      0.1f, 41);
    return s;
}

} // namespace

TEST(StageLimits, SearchRadiusBeyondTheImageChangesNothingAndCostsNothing) {
    const Scene& s = tinyImage();
    VexaParameters p = baseParameters(s, 0);
    p.searchRadius = {8, 8, 0}; // the last block origin is 8
    const StageRun reference = runHT(s, p);
    ASSERT_EQ(reference.status, VEXA_OK) << vexaLastMessage();
    for (int r : {9, 100, 23000}) {
        p.searchRadius = {r, r, 0};
        StageRun run;
        size_t largest;
        {
            LargestAllocation watch(64u << 20);
            run = runHT(s, p);
            largest = *watch.largest;
        }
        ASSERT_EQ(run.status, VEXA_OK) << r << ": " << vexaLastMessage();
        EXPECT_EQ(run.out, reference.out) << r;
        EXPECT_LT(largest, size_t(1) << 20) << r; // (2r+1)^2 floats before the clamp
        VexaParameters w = baseParameters(s, 1);
        w.searchRadius = {r, r, 0};
        EXPECT_EQ(runWie(s, w, reference.out).status, VEXA_OK) << vexaLastMessage();
    }
}

TEST(StageLimits, HugeGroupSizeIsRefusedOrBoundedBeforeAnyAllocation) {
    const Scene& s = tinyImage();
    // A caller's set (the library's group tables): the group size is checked,
    // or cut to the blocks a window holds, before anything is sized by it.
    const Transforms<float>& d = DEFAULT_TRANSFORMS_2D;
    VexaTransforms t = noTransforms();
    t.forward = {d.forward.x, d.forward.y, d.forward.z};
    t.inverse = {d.inverse.x, d.inverse.y, d.inverse.z};
    t.window = d.window;
    for (int groups : {std::numeric_limits<int>::max(), 1 << 20}) {
        VexaParameters p = baseParameters(s, 0);
        p.maxGroupSize = groups;
        std::vector<float> out(voxels(s.size), 0.0f);
        size_t largest;
        int status;
        {
            LargestAllocation watch(64u << 20);
            status = vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, t, out.data(), nullptr);
            largest = *watch.largest;
        }
        EXPECT_TRUE(status == VEXA_OK || status == VEXA_ERROR_INVALID_ARGUMENT)
            << groups << ": " << vexaLastMessage();
        EXPECT_LT(largest, size_t(1) << 20) << groups;
    }
}

TEST(StageLimits, FloatFieldsMustBeFinite) {
    const Scene& s = tinyImage();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Field {
        const char* name;
        float VexaParameters::*member;
    } fields[] = {{"hardThreshold", &VexaParameters::hardThreshold},
                  {"matchThreshold", &VexaParameters::matchThreshold},
                  {"sharpenAlpha", &VexaParameters::sharpenAlpha},
                  {"sharpenAlphaFirstSlice", &VexaParameters::sharpenAlphaFirstSlice},
                  {"matchNoiseFactor", &VexaParameters::matchNoiseFactor}};
    for (const Field& f : fields)
        for (float bad : {nan, inf, -inf}) {
            for (int stage : {0, 1}) {
                VexaParameters p = baseParameters(s, stage);
                p.*f.member = bad;
                std::vector<float> out(voxels(s.size), 7.0f);
                const int status =
                    stage == 0 ? vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, noTransforms(),
                                                 out.data(), nullptr)
                               : vexaInterfaceWie(s.noisy.data(), s.psd.data(), p, noTransforms(),
                                                  s.noisy.data(), out.data(), nullptr);
                EXPECT_EQ(status, VEXA_ERROR_INVALID_ARGUMENT) << f.name << " = " << bad;
                EXPECT_NE(std::string(vexaLastMessage()).find(f.name), std::string::npos)
                    << vexaLastMessage();
                EXPECT_EQ(lineCount(vexaLastMessage()), 1);
                EXPECT_EQ(out, std::vector<float>(voxels(s.size), 7.0f)) << f.name;
            }
        }
    // With sharpening the exponents must also be positive.
    VexaParameters p = baseParameters(s, 0);
    p.sharpen = 1;
    p.sharpenAlpha = 0.0f;
    p.sharpenAlphaFirstSlice = 1.0f;
    EXPECT_EQ(runHT(s, p).status, VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(std::string(vexaLastMessage()).find("sharpenAlpha"), std::string::npos);
}

TEST(StageLimits, NonFiniteSamplesAndImpossiblePsdsAreRefused) {
    const Scene& s = tinyImage();
    const VexaParameters p0 = baseParameters(s, 0), p1 = baseParameters(s, 1);
    auto ht = [&](const std::vector<float>& noisy, const std::vector<float>& psd) {
        std::vector<float> out(voxels(s.size), 0.0f);
        const int status =
            vexaInterfaceHT(noisy.data(), psd.data(), p0, noTransforms(), out.data(), nullptr);
        EXPECT_EQ(out, std::vector<float>(voxels(s.size), 0.0f));
        return status;
    };
    std::vector<float> noisy = s.noisy;
    noisy[3 + 16 * 5] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ht(noisy, s.psd), VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(std::string(vexaLastMessage()).find("noisy sample (3, 5, 0)"), std::string::npos)
        << vexaLastMessage();
    for (float bad : {-1.0f, std::numeric_limits<float>::infinity()}) {
        std::vector<float> psd = s.psd;
        psd[7] = bad;
        EXPECT_EQ(ht(s.noisy, psd), VEXA_ERROR_INVALID_ARGUMENT) << bad;
        EXPECT_NE(std::string(vexaLastMessage()).find("psd[7]"), std::string::npos);
    }
    EXPECT_EQ(ht(s.noisy, std::vector<float>(s.psd.size(), 0.0f)), VEXA_ERROR_INVALID_ARGUMENT);
    std::vector<float> basic = s.noisy;
    basic.back() = -std::numeric_limits<float>::infinity();
    EXPECT_EQ(runWie(s, p1, basic).status, VEXA_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(std::string(vexaLastMessage()).find("basicEstimate sample (15, 15, 0)"),
              std::string::npos);
}

TEST(StageLimits, OverflowingSharpeningIsNeverReturnedAsAnEstimate) {
    const Scene& s = image2DWhite();
    VexaParameters p = baseParameters(s, 0);
    p.sharpen = 1;
    p.sharpenAlpha = p.sharpenAlphaFirstSlice = 3.0e4f; // (|c| / |c0|)^alpha overflows
    const StageRun run = runHT(s, p);
    if (run.status == VEXA_OK) {
        EXPECT_TRUE(allFinite(run.out));
    } else {
        EXPECT_EQ(run.status, VEXA_ERROR_INTERNAL);
        EXPECT_NE(std::string(vexaLastMessage()).find("not finite"), std::string::npos);
        EXPECT_EQ(lineCount(vexaLastMessage()), 1);
    }
}

TEST(StageDeterminism, FixedAggregationOrderIsBitwiseReproducible) {
    static const Scene s = whiteScene({20, 20, 20}, phantomVolume(20), {8, 8, 8}, 0.1f, 43);
    for (int threads : {2, 4}) {
        VexaParameters p0 = baseParameters(s, 0), p1 = baseParameters(s, 1);
        p0.deterministic = p1.deterministic = 1;
        p0.numThreads = p1.numThreads = threads;
        const StageRun a = runHT(s, p0), b = runHT(s, p0);
        ASSERT_EQ(a.status | b.status, VEXA_OK) << vexaLastMessage();
        EXPECT_EQ(a.out, b.out) << threads;
        const StageRun wa = runWie(s, p1, a.out), wb = runWie(s, p1, a.out);
        ASSERT_EQ(wa.status | wb.status, VEXA_OK) << vexaLastMessage();
        EXPECT_EQ(wa.out, wb.out) << threads;
        // The same estimate as the free order, up to the rounding of the sums.
        p0.deterministic = 0;
        EXPECT_LT(maxAbsDifference(runHT(s, p0).out, a.out), 1e-5f);
    }
}
