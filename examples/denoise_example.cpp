// Denoises a synthetic volume through the public C interface only: white
// noise with a fixed seed, both stages, PSNR before and after, seconds per stage.
//
//   denoise_example [size] [sigma] [threads]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/fixtures.h"
#include "vexa.h"

using namespace vexa_fixtures;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 48;
    const float sigma = argc > 2 ? static_cast<float>(std::atof(argv[2])) : 0.1f;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 0;
    if (n < 4 || !(sigma > 0)) {
        std::fprintf(stderr, "usage: denoise_example [size >= 4] [sigma > 0] [threads]\n");
        return 2;
    }

    const std::vector<float> clean = phantomVolume(n);
    const std::vector<float> noisy = withWhiteNoise(clean, sigma, 2024);
    // White noise: a constant PSD of sigma^2 times the number of PSD points.
    const std::vector<float> psd = whitePsd(8 * 8 * 8, sigma);
    const VexaTransforms builtIn = builtInTransforms(); // chosen by the block size
    const VexaVec3i size{n, n, n}, psdSize{8, 8, 8};
    const VexaParameters hard = stageParameters(size, psdSize, 0, sigma * sigma, threads);
    const VexaParameters wiener = stageParameters(size, psdSize, 1, sigma * sigma, threads);

    std::vector<float> basic(noisy.size(), 0.0f), final(noisy.size(), 0.0f);
    auto start = std::chrono::steady_clock::now();
    int status = vexaInterfaceHT(noisy.data(), psd.data(), hard, builtIn, basic.data(), nullptr);
    const double t1 = seconds(start);
    if (status != VEXA_OK) {
        std::fprintf(stderr, "hard-thresholding stage failed (%d): %s\n", status,
                     vexaLastMessage());
        return 1;
    }
    start = std::chrono::steady_clock::now();
    status = vexaInterfaceWie(noisy.data(), psd.data(), wiener, builtIn, basic.data(), final.data(),
                              nullptr);
    const double t2 = seconds(start);
    if (status != VEXA_OK) {
        std::fprintf(stderr, "Wiener stage failed (%d): %s\n", status, vexaLastMessage());
        return 1;
    }

    std::printf("vexa %s, %d^3 volume, sigma %.3f, %d threads\n", vexaVersion(), n, sigma,
                threads > 0 ? threads : vexaDefaultThreadCount());
    std::printf("PSNR noisy %.2f dB, basic estimate %.2f dB, final %.2f dB\n", psnr(clean, noisy),
                psnr(clean, basic), psnr(clean, final));
    std::printf("seconds: hard thresholding %.3f, Wiener %.3f\n", t1, t2);
    return 0;
}
