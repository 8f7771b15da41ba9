// Per-group noise variances: calculateVariances (position maps transformed
// many lines at a time, all weight vectors in one pass over K3fT3) against
// calculateVariancesReference (one Fourier line at a time, one pass per
// vector), on the default volume profile's 8^3 grid folded to 5 columns,
// E = 4, groups of 16 (hard stage) and 32 (Wiener) at 4^3 and 6^3 blocks.
// Both give the same bits; items are groups.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/memory.h"
#include "core/parameters.h"
#include "psd/variances.h"

using namespace vexa;

namespace {

constexpr int GROUPS = 64; // distinct groups per iteration, cycled

void runGroups(benchmark::State& state, bool reference) {
    const int b = static_cast<int>(state.range(0));
    const int N = static_cast<int>(state.range(1));
    const Vec3<int> B{b, b, b}, F{8, 8, 8}, W{5, 8, 8};
    const int E = 4, nB = b * b * b;
    Parameters p{};
    p.blockSize = B;
    p.psdResampleSize = F;
    p.psdSymmetry = true;
    p.maxGroupSize = 32;
    p.varianceGroupSize = E;
    TempMemory<float> temp = createTempMemory<float>(p);
    if (!temp.valid) {
        state.SkipWithError("scratch allocation failed");
        return;
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> K3fT3(static_cast<std::size_t>(nB) * W.x * W.y * W.z), localVar(nB, 1.0f);
    std::vector<float> G(static_cast<std::size_t>(N) * N), out(static_cast<std::size_t>(nB) * N);
    for (float& v : K3fT3) v = unit(rng);
    for (float& v : G) v = 2.0f * unit(rng) - 1.0f;
    // Members anywhere in a 24^3 search window, reduced modulo the grid.
    std::vector<std::vector<BlockDistance<float>>> groups(GROUPS,
                                                          std::vector<BlockDistance<float>>(N));
    for (auto& g : groups)
        for (auto& m : g) m.relativePosition = {int(rng() % 24), int(rng() % 24), int(rng() % 24)};
    Cube4D<float> variances;
    variances.size = {b, b, b, N};
    variances.data = out.data();
    for (auto _ : state) {
        for (auto& g : groups) {
            if (reference)
                calculateVariancesReference<float>(N, B, F, W, E, G.data(), K3fT3.data(),
                                                   localVar.data(), variances, g.data(), temp);
            else
                calculateVariances<float>(N, B, F, W, E, G.data(), K3fT3.data(), localVar.data(),
                                          variances, g.data(), temp);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * GROUPS);
}

void BM_VariancesBatched(benchmark::State& state) {
    runGroups(state, false);
}
void BM_VariancesOneLine(benchmark::State& state) {
    runGroups(state, true);
}

} // namespace

BENCHMARK(BM_VariancesOneLine)->Args({4, 16})->Args({4, 32})->Args({6, 16})->Args({6, 32});
BENCHMARK(BM_VariancesBatched)->Args({4, 16})->Args({4, 32})->Args({6, 16})->Args({6, 32});
BENCHMARK_MAIN();
