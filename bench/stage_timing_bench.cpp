// Seconds of both stages on a 128^3 volume with 4x4x4 blocks and white noise,
// at 1 and 2 threads. Each iteration runs the hard-thresholding stage, then
// the Wiener stage on its result; the counters hold the seconds of each.
//
//   stage_timing_bench [--size=N] plus the usual Google Benchmark flags
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "vexa.h"

using namespace vexa_fixtures;

namespace {

int volumeSize = 128;
const float kSigma = 0.1f;

struct Scene {
    std::vector<float> clean, noisy, psd;
};

const Scene& scene() {
    static const Scene s = [] {
        Scene r;
        r.clean = phantomVolume(volumeSize);
        r.noisy = withWhiteNoise(r.clean, kSigma, 7);
        r.psd = whitePsd(8 * 8 * 8, kSigma);
        return r;
    }();
    return s;
}

// The parameters of the figures reported for this benchmark.
VexaParameters parameters(int threads, bool wiener) {
    VexaParameters p = stageParameters({volumeSize, volumeSize, volumeSize}, {8, 8, 8},
                                       wiener ? 1 : 0, kSigma * kSigma, threads);
    p.maxGroupSize = 16;
    p.varianceGroupSize = 2;
    p.step = {4, 4, 4};
    p.splitBlockExtraction[2] = 1; // per-job buffers windowed along z
    return p;
}

void BM_BothStages(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const Scene& s = scene();
    const VexaTransforms builtIn = builtInTransforms();
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
