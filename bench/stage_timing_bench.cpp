// Seconds of both stages on a 128^3 volume with 4x4x4 blocks and white noise,
// at 1 and 2 threads. Each iteration runs the hard-thresholding stage, then
// the Wiener stage on its result; the counters hold the seconds of each.
//
//   stage_timing_bench [--size=N] plus the usual Google Benchmark flags
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vexa.h"

namespace {

int volumeSize = 128;
const float kSigma = 0.1f;

struct Scene {
    std::vector<float> clean, noisy, psd;
};

const Scene& scene() {
    static const Scene s = [] {
        const int n = volumeSize;
        Scene r;
        r.clean.resize(static_cast<size_t>(n) * n * n);
        for (int z = 0; z < n; ++z)
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) {
                    float v = 0.3f + 0.2f * static_cast<float>(z) / n;
                    const float ax = x - 0.35f * n, ay = y - 0.4f * n, az = z - 0.5f * n;
                    if (ax * ax + ay * ay + az * az < 0.05f * n * n) v = 0.85f;
                    if (x > (3 * n) / 4 && z > (3 * n) / 5) v = 0.6f;
                    r.clean[x + n * (y + n * static_cast<size_t>(z))] = v;
                }
        r.noisy = r.clean;
        std::mt19937 rng(7);
        std::normal_distribution<float> noise(0.0f, kSigma);
        for (float& v : r.noisy) v += noise(rng);
        r.psd.assign(8 * 8 * 8, kSigma * kSigma * 8 * 8 * 8);
        return r;
    }();
    return s;
}

// The parameters of the figures reported for this benchmark.
VexaParameters parameters(int threads, bool wiener) {
    VexaParameters p;
    std::memset(&p, 0, sizeof p);
    p.blockSize = {4, 4, 4};
    p.psdResampleSize = {8, 8, 8};
    p.psdSymmetry = 1;
    p.maxGroupSize = 16;
    p.varianceGroupSize = 2;
    p.hardThreshold = 2.7f * 2.7f;
    p.wienerFactor = 1.0f;
    p.matchNoiseFactor = 1.0f;
    p.searchRadius = {3, 3, 3};
    p.imageSize = {volumeSize, volumeSize, volumeSize};
    p.psdSize = {8, 8, 8};
    p.step = {4, 4, 4};
    p.minGroupSize = 1;
    p.matchThreshold = (wiener ? 0.5f : 1.5f) * 64 * kSigma * kSigma;
    p.splitBlockExtraction[2] = 1; // per-job buffers windowed along z
    p.numThreads = threads;
    return p;
}

double psnr(const std::vector<float>& a, const std::vector<float>& b) {
    double mse = 0;
    for (size_t i = 0; i < a.size(); ++i) mse += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return 10.0 * std::log10(1.0 / (mse / a.size()));
}

void BM_BothStages(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const Scene& s = scene();
    VexaTransforms builtIn;
    std::memset(&builtIn, 0, sizeof builtIn);
    std::vector<float> basic(s.noisy.size()), final(s.noisy.size());
    double ht = 0, wie = 0;
    for (auto _ : state) {
        std::fill(basic.begin(), basic.end(), 0.0f);
        std::fill(final.begin(), final.end(), 0.0f);
        auto t0 = std::chrono::steady_clock::now();
        const int a = vexaInterfaceHT(s.noisy.data(), s.psd.data(), parameters(threads, false),
                                      builtIn, basic.data(), nullptr);
        auto t1 = std::chrono::steady_clock::now();
        const int b = vexaInterfaceWie(s.noisy.data(), s.psd.data(), parameters(threads, true),
                                       builtIn, basic.data(), final.data(), nullptr);
        auto t2 = std::chrono::steady_clock::now();
        if (a != VEXA_OK || b != VEXA_OK) {
            state.SkipWithError(vexaLastMessage());
            return;
        }
        ht += std::chrono::duration<double>(t1 - t0).count();
        wie += std::chrono::duration<double>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ht_s"] = ht / n;
    state.counters["wie_s"] = wie / n;
    state.counters["psnr_noisy"] = psnr(s.clean, s.noisy);
    state.counters["psnr_final"] = psnr(s.clean, final);
}

BENCHMARK(BM_BothStages)->Arg(1)->Arg(2)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--size=", 7) == 0) volumeSize = std::atoi(argv[i] + 7);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
