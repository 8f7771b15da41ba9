// Block transform and block extraction throughput.
//   time per block of transf3D, butterflies versus the plain matrix product, and
//   blocks per second of BlockCollection::extractInitial on a 128^3 volume.
#include <benchmark/benchmark.h>

#include <random>
#include <thread>
#include <vector>

#include "blocks/block_collection.h"
#include "blocks/block_transforms.h"
#include "threading/thread_pool.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"

using namespace vexa;
using TransformsMetas::StandardTransform;

namespace {

constexpr int BATCH = 4096; // blocks per iteration, so that one block costs a few ns

std::vector<float> randomBlocks(int floats) {
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(static_cast<std::size_t>(floats) * BATCH);
    for (float& x : v) x = dist(gen);
    return v;
}

void runBatch(benchmark::State& state, const Vec3<int>& size, const Vec3<const float*>& m,
              const Vec3<StandardTransform>& tags, bool reference) {
    const int n = size.volume();
    std::vector<float> blocks = randomBlocks(n);
    std::vector<float> a(n), b(n);
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            float* blk = blocks.data() + static_cast<std::size_t>(i) * n;
            if (reference)
                transf3DReference(blk, m, a.data(), b.data(), blk, size);
            else
                transf3D(blk, m, tags, a.data(), b.data(), blk, size);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
    // Inverted rate: seconds per block, printed with an SI prefix (n = ns).
    state.counters["per_block"] = benchmark::Counter(
        BATCH, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const Vec3<StandardTransform> ARB{TransformsMetas::ARBITRARY, TransformsMetas::ARBITRARY,
                                  TransformsMetas::ARBITRARY};

void BM_Transf3D_4x4x4_Product(benchmark::State& state) {
    runBatch(state, {4, 4, 4}, DEFAULT_FWD_3D, ARB, false);
}

void BM_Transf3D_4x4x4_Reference(benchmark::State& state) {
    runBatch(state, {4, 4, 4}, DEFAULT_FWD_3D, ARB, true);
}

void BM_Transf3D_8x8x1_DCT8Butterfly(benchmark::State& state) {
    runBatch(state, {8, 8, 1}, DEFAULT_FWD_2D,
             {TransformsMetas::DCT8, TransformsMetas::DCT8, TransformsMetas::ARBITRARY}, false);
}

void BM_Transf3D_8x8x1_BIOR8Butterfly(benchmark::State& state) {
    runBatch(state, {8, 8, 1}, BIOR_FWD_2D,
             {TransformsMetas::BIOR8, TransformsMetas::BIOR8, TransformsMetas::ARBITRARY}, false);
}

void BM_Transf3D_8x8x1_Product(benchmark::State& state) {
    runBatch(state, {8, 8, 1}, DEFAULT_FWD_2D, ARB, false);
}

void BM_Transf3D_8x8x1_Reference(benchmark::State& state) {
    runBatch(state, {8, 8, 1}, DEFAULT_FWD_2D, ARB, true);
}

// Whole-volume extraction (no windowed axis) of 4^3 blocks, as the stage
// does before its jobs when the buffers cover the cut axis; arg = pool threads.
void BM_ExtractInitial_128cube(benchmark::State& state) {
    const Vec3<int> size{128, 128, 128};
    std::vector<float> volume(static_cast<std::size_t>(size.volume()));
    std::mt19937 gen(2);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (float& x : volume) x = dist(gen);
    const ImageData<float> image(volume.data(), size);
    const Vec3<int> radius{129, 129, 129};
    TempMemory<float> temp;
    BlockCollection<float> coll;
    ThreadPool::THREAD_POOL.launchPool(static_cast<int>(state.range(0)));
    bool ok =
        coll.extractInitial(image, {0, 0, 0}, {4, 4, 4}, DEFAULT_FWD_3D, ARB, true, temp, radius);
    for (auto _ : state) {
        ok = coll.extractInitial(image, {0, 0, 0}, {4, 4, 4}, DEFAULT_FWD_3D, ARB, false, temp,
                                 radius) &&
             ok;
        benchmark::DoNotOptimize(coll.data);
    }
    ThreadPool::THREAD_POOL.clearPool();
    if (!ok) state.SkipWithError("extraction failed");
    const double blocks = static_cast<double>(coll._bufferRange.volume());
    state.counters["blocks_per_s"] = benchmark::Counter(
        blocks * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_Transf3D_4x4x4_Product);
BENCHMARK(BM_Transf3D_4x4x4_Reference);
BENCHMARK(BM_Transf3D_8x8x1_DCT8Butterfly);
BENCHMARK(BM_Transf3D_8x8x1_BIOR8Butterfly);
BENCHMARK(BM_Transf3D_8x8x1_Product);
BENCHMARK(BM_Transf3D_8x8x1_Reference);
BENCHMARK(BM_ExtractInitial_128cube)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
