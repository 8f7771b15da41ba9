// End-to-end stage runs for ThreadSanitizer, through the public C ABI: both
// stages on an image and a volume at 2 and 4 threads (shared and windowed
// block buffers, a match store filled and read back), progress polled and a
// stage cancelled from another thread, and two host threads calling at once.
// Every check prints what failed and the program exits with status 1; a data
// race ends it through ThreadSanitizer (halt_on_error=1).
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vexa.h"

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "stage_tsan: FAILED: %s (last message: %s)\n", what.c_str(),
                     vexaLastMessage());
        ++failures;
    }
}

struct Scene {
    VexaVec3i size;
    std::vector<float> noisy, psd;
};

Scene makeScene(VexaVec3i size, unsigned seed) {
    Scene s{size, {}, {}};
    const size_t n = static_cast<size_t>(size.x) * size.y * size.z;
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    s.noisy.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const int x = static_cast<int>(i % size.x);
        const int y = static_cast<int>((i / size.x) % size.y);
        s.noisy[i] = (x < size.x / 2 ? 0.3f : 0.7f) + 0.1f * std::sin(0.4f * y) + noise(rng);
    }
    const int grid = size.z == 1 ? 16 * 16 : 8 * 8 * 8;
    s.psd.assign(grid, 0.01f * grid); // white noise of std 0.1
    return s;
}

VexaParameters parameters(const Scene& s, bool wiener, int threads) {
    VexaParameters p;
    std::memset(&p, 0, sizeof p);
    const bool flat = s.size.z == 1;
    p.blockSize = flat ? VexaVec3i{8, 8, 1} : VexaVec3i{4, 4, 4};
    p.psdResampleSize = flat ? VexaVec3i{16, 16, 1} : VexaVec3i{8, 8, 8};
    p.psdSymmetry = 1;
    p.maxGroupSize = 16;
    p.varianceGroupSize = 4;
    p.hardThreshold = 2.7f * 2.7f;
    p.wienerFactor = 1.0f;
    p.matchNoiseFactor = wiener ? 0.0f : 1.0f;
    p.searchRadius = flat ? VexaVec3i{6, 6, 0} : VexaVec3i{3, 3, 3};
    p.imageSize = s.size;
    p.psdSize = flat ? VexaVec3i{16, 16, 1} : VexaVec3i{8, 8, 8};
    p.step = flat ? VexaVec3i{3, 3, 1} : VexaVec3i{2, 2, 2};
    p.minGroupSize = 1;
    p.matchThreshold = 1e30f;
    p.numThreads = threads;
    return p;
}

struct Store {
    std::vector<int32_t> counts, positions, relative;
    BlockMatchStorage s{};
    Store(const VexaParameters& p, int maxMatches) {
        const long long slots = 1LL * (p.imageSize.x / p.step.x + 1) *
                                (p.imageSize.y / p.step.y + 1) * (p.imageSize.z / p.step.z + 1);
        counts.assign(slots, 0);
        positions.assign(slots * maxMatches * 3, 0);
        relative.assign(slots * maxMatches * 3, 0);
        s.maxMatches = maxMatches;
        s.matchCounts = counts.data();
        s.matchPositions = positions.data();
        s.matchRelativePositions = relative.data();
    }
};

bool finite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

float maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    float d = 0;
    for (size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
}

struct Pair {
    int ht = -1, wie = -1;
    std::vector<float> basic, final;
};

// Both stages, the Wiener stage reading back the matches of the first when asked.
Pair denoise(const Scene& s, int threads, bool windowed, bool reuse) {
    Pair r;
    r.basic.assign(s.noisy.size(), 0.0f);
    r.final.assign(s.noisy.size(), 0.0f);
    VexaParameters p0 = parameters(s, false, threads), p1 = parameters(s, true, threads);
    if (windowed) {
        const int axis = s.size.z == 1 ? 1 : 2;
        p0.splitBlockExtraction[axis] = p1.splitBlockExtraction[axis] = 1;
    }
    Store store(p0, 16);
    BlockMatchStorage* st = reuse ? &store.s : nullptr;
    const VexaTransforms builtIn{};
    r.ht = vexaInterfaceHT(s.noisy.data(), s.psd.data(), p0, builtIn, r.basic.data(), st);
    if (reuse) store.s.reuseMatches = 1;
    r.wie = vexaInterfaceWie(s.noisy.data(), s.psd.data(), p1, builtIn, r.basic.data(),
                             r.final.data(), st);
    return r;
}

void endToEnd(const Scene& s, const char* name) {
    const Pair one = denoise(s, 1, false, false);
    expect(one.ht == VEXA_OK && one.wie == VEXA_OK, std::string(name) + ": one thread");
    for (int threads : {2, 4}) {
        for (int variant = 0; variant < 3; ++variant) {
            const bool windowed = variant == 1, reuse = variant == 2;
            const std::string what = std::string(name) + " at " + std::to_string(threads) +
                                     " threads" + (windowed ? ", windowed buffers" : "") +
                                     (reuse ? ", stored matches" : "");
            const Pair r = denoise(s, threads, windowed, reuse);
            expect(r.ht == VEXA_OK && r.wie == VEXA_OK, what + ": status");
            expect(finite(r.final), what + ": finite output");
            // Only the order of the accumulation differs from one thread.
            expect(maxDifference(r.basic, one.basic) < 1e-4f, what + ": basic estimate");
            if (!reuse) expect(maxDifference(r.final, one.final) < 1e-4f, what + ": final estimate");
        }
    }
}

// Progress read and a cancellation requested from another thread while a stage runs.
void progressAndCancel(const Scene& s) {
    std::vector<float> out(s.noisy.size(), 0.0f);
    const VexaParameters p = parameters(s, false, 4);
    std::atomic<bool> running{true};
    std::atomic<long long> seen{0};
    std::thread watcher([&] {
        while (running.load()) {
            int64_t done = 0, total = 0;
            vexaGetProgress(&done, &total);
            if (done > 0 && done <= total) {
                seen.store(done);
                vexaRequestCancel();
            }
            std::this_thread::yield();
        }
    });
    const int status = vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, VexaTransforms{},
                                       out.data(), nullptr);
    running.store(false);
    watcher.join();
    expect(status == VEXA_ERROR_CANCELLED || (status == VEXA_OK && seen.load() > 0),
           "cancel from another thread: status " + std::to_string(status));
    expect(finite(out), "cancelled stage leaves a finite output");
    std::vector<float> again(s.noisy.size(), 0.0f);
    expect(vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, VexaTransforms{}, again.data(),
                           nullptr) == VEXA_OK,
           "a stage after a cancelled one");
}

// Two host threads enter the library at once: one stage runs, the other is
// turned away without touching its output, or waits its turn; never a race.
void twoCallersAtOnce(const Scene& s) {
    const VexaParameters p = parameters(s, false, 2);
    std::vector<float> reference(s.noisy.size(), 0.0f);
    expect(vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, VexaTransforms{}, reference.data(),
                           nullptr) == VEXA_OK,
           "reference run");
    for (int round = 0; round < 3; ++round) {
        std::vector<float> a(s.noisy.size(), 0.0f), b(s.noisy.size(), 0.0f);
        int sa = -1, sb = -1;
        std::atomic<int> ready{0};
        auto call = [&](std::vector<float>& out, int& status) {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            status = vexaInterfaceHT(s.noisy.data(), s.psd.data(), p, VexaTransforms{},
                                     out.data(), nullptr);
        };
        std::thread ta(call, std::ref(a), std::ref(sa)), tb(call, std::ref(b), std::ref(sb));
        ta.join();
        tb.join();
        expect(sa == VEXA_OK || sb == VEXA_OK, "two callers: one stage runs");
        for (auto [status, out] : {std::pair<int, std::vector<float>*>{sa, &a}, {sb, &b}}) {
            if (status == VEXA_OK)
                expect(maxDifference(*out, reference) < 1e-4f, "two callers: the estimate");
            else
                expect(maxDifference(*out, std::vector<float>(out->size(), 0.0f)) == 0.0f,
                       "two callers: the refused call leaves its output untouched (status " +
                           std::to_string(status) + ")");
        }
    }
}

} // namespace

int main() {
    const auto start = std::chrono::steady_clock::now();
    // Long enough along the cut axis for chunks two apart to run at once:
    // jobs add into the volumes without a lock.
    const Scene image = makeScene({32, 96, 1}, 1), volume = makeScene({12, 12, 40}, 2);
    endToEnd(image, "image 32x96");
    endToEnd(volume, "volume 12x12x40");
    progressAndCancel(image);
    twoCallersAtOnce(image);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("stage_tsan: %s in %.1f s\n", failures == 0 ? "all checks passed" : "FAILED",
                seconds);
    return failures == 0 ? 0 : 1;
}
