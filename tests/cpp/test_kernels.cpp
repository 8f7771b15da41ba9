// The vectorised kernels against plain loops, on both builds (baseline and,
// where the CPU has it, AVX2 + FMA): bitwise, since each element is computed
// with the same operations in the same order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "blocks/block_transforms.h"
#include "blocks/group_kernels.h"
#include "core/cpu_dispatch.h"
#include "matching/distance_kernels.h"
#include "support/kernel_paths.h"

using namespace vexa;
using vexa_fixtures::onEveryPath;

namespace {

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<float> randomValues(std::size_t n, std::mt19937& rng) {
    std::vector<float> v(n);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    for (float& x : v) x = u(rng);
    return v;
}

} // namespace

TEST(KernelDispatch, ForcingAPathTheCpuLacksFallsBackToBaseline) {
    const KernelPath before = kernelPath();
    EXPECT_EQ(forceKernelPath(KernelPath::Baseline), KernelPath::Baseline);
    EXPECT_EQ(kernelPath(), KernelPath::Baseline);
    EXPECT_EQ(forceKernelPath(KernelPath::Avx2),
              cpuHasAvx2() ? KernelPath::Avx2 : KernelPath::Baseline);
    forceKernelPath(before);
}

TEST(CandidateSums, EveryLaneEqualsTheScalarChain) {
    std::mt19937 rng(5);
    // Block lengths with and without a tail of fewer than eight coefficients,
    // and ranges that start and end off the eight-coefficient grid; the
    // eight-lane and the sixteen-lane kernel.
    for (int b : {1, 8, 13, 64, 125, 216}) {
        std::vector<float> data = randomValues(static_cast<std::size_t>(17) * b, rng);
        const float* ref = data.data() + 16 * b;
        const float* blocks[16];
        // Lanes need not be evenly spaced, and one block may fill two lanes.
        const int slot[16] = {3, 0, 7, 1, 1, 6, 2, 5, 15, 9, 8, 14, 11, 3, 12, 10};
        for (int k = 0; k < 16; ++k) blocks[k] = data.data() + slot[k] * b;
        for (int lanes : {8, 16})
            for (int from : {0, b / 4, b / 2})
                for (int to : {b / 4, b / 2, b}) {
                    if (to < from) continue;
                    onEveryPath([&] {
                        float got[16], want[16];
                        for (int k = 0; k < 16; ++k) got[k] = want[k] = -0.25f * k;
                        if (lanes == 8)
                            candidateSums8(blocks, ref, from, to, got);
                        else
                            candidateSums16(blocks, ref, from, to, got);
                        for (int k = 0; k < 16; ++k) {
                            for (int i = from; k < lanes && i < to; ++i) {
                                const float d = blocks[k][i] - ref[i];
                                want[k] += d * d;
                            }
                            // Lanes past the kernel's width are left alone.
                            EXPECT_TRUE(sameBits(got[k], want[k]))
                                << "lanes " << lanes << " b " << b << " [" << from << ", " << to
                                << ") lane " << k;
                        }
                    });
                }
    }
}

TEST(CandidateSums, NaNAndInfinityStayInTheirLane) {
    std::vector<float> data(9 * 16, 1.0f);
    data[2 * 16 + 5] = std::nanf("");
    data[6 * 16 + 9] = INFINITY;
    const float* blocks[8];
    for (int k = 0; k < 8; ++k) blocks[k] = data.data() + k * 16;
    const float* ref = data.data() + 8 * 16;
    onEveryPath([&] {
        float d[8] = {};
        candidateSums8(blocks, ref, 0, 16, d);
        for (int k = 0; k < 8; ++k) {
            if (k == 2)
                EXPECT_TRUE(std::isnan(d[k]));
            else if (k == 6)
                EXPECT_TRUE(std::isinf(d[k]));
            else
                EXPECT_EQ(d[k], 0.0f);
        }
    });
}

TEST(GroupKernels, HaarLayersEqualTheOnePositionRoutines) {
    std::mt19937 rng(9);
    for (int c : {1, 7, 64, 125, 216})
        for (int n : {4, 8, 16, 32}) {
            std::vector<float> in = randomValues(static_cast<std::size_t>(c) * n, rng);
            std::vector<const float*> layers(n);
            for (int k = 0; k < n; ++k) layers[k] = in.data() + static_cast<long>(c) * k;
            std::vector<float> wantF(in.size()), wantI(in.size());
            for (int i = 0; i < c; ++i) {
                IndexerBase<const float*, true> src{in.data() + i, c};
                IndexerBase<float*, true> f{wantF.data() + i, c};
                IndexerBase<float*, true> v{wantI.data() + i, c};
                forwardHaar_32_16_8_4_2_1(src, f, n);
                invHaar_32_16_8_4_2_1(src, v, n);
            }
            onEveryPath([&] {
                std::vector<float> gotF(in.size(), NAN), gotI(in.size(), NAN);
                haarForwardLayers(layers.data(), n, gotF.data(), c);
                haarInverseLayers(layers.data(), n, gotI.data(), c);
                for (std::size_t i = 0; i < in.size(); ++i) {
                    ASSERT_TRUE(sameBits(gotF[i], wantF[i]))
                        << "forward c " << c << " n " << n << " at " << i;
                    ASSERT_TRUE(sameBits(gotI[i], wantI[i]))
                        << "inverse c " << c << " n " << n << " at " << i;
                }
            });
        }
}

namespace {

// Runs matrixProductLayers on n random layers of c coefficients and compares
// every output with the sum over k from 0 upward: bit for bit, or as numbers
// where skipped zero weights may turn a -0 sum into +0.
void expectLayerProduct(const std::vector<float>& m, int n, int c, std::mt19937& rng,
                        bool bitwise) {
    std::vector<float> in = randomValues(static_cast<std::size_t>(c) * n, rng);
    std::vector<const float*> layers(n);
    for (int k = 0; k < n; ++k) layers[k] = in.data() + static_cast<long>(c) * k;
    onEveryPath([&] {
        std::vector<float> got(in.size(), NAN);
        matrixProductLayers(layers.data(), n, m.data(), got.data(), c);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < c; ++i) {
                float s = m[j * n] * layers[0][i];
                for (int k = 1; k < n; ++k) s += m[j * n + k] * layers[k][i];
                const float g = got[static_cast<long>(c) * j + i];
                ASSERT_TRUE(bitwise ? sameBits(g, s) : g == s)
                    << "c " << c << " n " << n << " j " << j << " i " << i;
            }
    });
}

} // namespace

TEST(GroupKernels, MatrixProductLayersSumsFromTheFirstLayer) {
    std::mt19937 rng(11);
    for (int c : {3, 64, 216})
        for (int n : {1, 2, 5, 16})
            expectLayerProduct(randomValues(static_cast<std::size_t>(n) * n, rng), n, c, rng, true);
}

TEST(GroupKernels, ZeroWeightsChangeNoValue) {
    // Half the weights zero, as in the Haar tables of the short groups; block
    // lengths with and without a tail past the vector width; long groups.
    std::mt19937 rng(13);
    for (int n : {2, 4, 8, 32, 65})
        for (int c : {64, 27, 216}) {
            std::vector<float> m = randomValues(static_cast<std::size_t>(n) * n, rng);
            for (int j = 0; j < n; ++j)
                for (int k = 1; k < n; ++k)
                    if ((j + k) % 2) m[j * n + k] = (k % 4 == 1) ? -0.0f : 0.0f;
            expectLayerProduct(m, n, c, rng, false);
        }
}

TEST(GroupKernels, HaarRejectsLengthsWithoutAFastPath) {
    std::vector<float> in(6 * 4, 1.0f), out(6 * 4);
    std::vector<const float*> layers(6, in.data());
    EXPECT_ANY_THROW(haarForwardLayers(layers.data(), 6, out.data(), 4));
}
