// Denoises a synthetic volume through the public C interface only: white
// noise with a fixed seed, both stages, PSNR before and after, seconds per stage.
//
//   denoise_example [size] [sigma] [threads]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "vexa.h"

namespace {

std::vector<float> phantom(int n) {
    std::vector<float> v(static_cast<size_t>(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                float s = 0.3f + 0.2f * static_cast<float>(z) / n;
                const float ax = x - 0.35f * n, ay = y - 0.4f * n, az = z - 0.5f * n;
                if (ax * ax + ay * ay + az * az < 0.05f * n * n) s = 0.85f;
                const float bx = x - 0.7f * n, by = y - 0.65f * n, bz = z - 0.35f * n;
                if (bx * bx + by * by + bz * bz < 0.02f * n * n) s = 0.1f;
                if (x > (3 * n) / 4 && z > (3 * n) / 5) s = 0.6f;
                v[x + n * (y + n * static_cast<size_t>(z))] = s;
            }
    return v;
}

double psnr(const std::vector<float>& a, const std::vector<float>& b) {
    double mse = 0;
    for (size_t i = 0; i < a.size(); ++i) mse += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return 10.0 * std::log10(1.0 / (mse / a.size()));
}

VexaParameters parameters(int n, int threads, float sigma, bool wiener) {
    VexaParameters p;
    std::memset(&p, 0, sizeof p);
    p.blockSize = {4, 4, 4}; // the built-in 3-D transform set
    p.psdResampleSize = {8, 8, 8};
    p.psdSymmetry = 1;
    p.maxGroupSize = wiener ? 32 : 16;
    p.varianceGroupSize = 4;
    p.hardThreshold = 2.7f * 2.7f;
    p.wienerFactor = 1.0f;
    p.matchNoiseFactor = 1.0f;
    p.searchRadius = {3, 3, 3};
    p.imageSize = {n, n, n};
    p.psdSize = {8, 8, 8};
    p.step = {3, 3, 3};
    p.minGroupSize = 1;
    p.matchThreshold = (wiener ? 0.5f : 1.5f) * 64 * sigma * sigma;
    p.numThreads = threads;
    return p;
}

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

    const std::vector<float> clean = phantom(n);
    std::vector<float> noisy = clean;
    std::mt19937 rng(2024);
    std::normal_distribution<float> noise(0.0f, sigma);
    for (float& v : noisy) v += noise(rng);
    // White noise: a constant PSD of sigma^2 times the number of PSD points.
    const std::vector<float> psd(8 * 8 * 8, sigma * sigma * 8 * 8 * 8);
    VexaTransforms builtIn;
    std::memset(&builtIn, 0, sizeof builtIn);

    std::vector<float> basic(noisy.size(), 0.0f), final(noisy.size(), 0.0f);
    auto start = std::chrono::steady_clock::now();
    int status = vexaInterfaceHT(noisy.data(), psd.data(), parameters(n, threads, sigma, false),
                                 builtIn, basic.data(), nullptr);
    const double t1 = seconds(start);
    if (status != VEXA_OK) {
        std::fprintf(stderr, "hard-thresholding stage failed (%d): %s\n", status,
                     vexaLastMessage());
        return 1;
    }
    start = std::chrono::steady_clock::now();
    status = vexaInterfaceWie(noisy.data(), psd.data(), parameters(n, threads, sigma, true),
                              builtIn, basic.data(), final.data(), nullptr);
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
