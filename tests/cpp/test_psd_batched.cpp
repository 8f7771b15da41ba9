// The batched group-variance path (many Fourier lines at once, all weight
// vectors in one pass) against the one-line versions it replaces: bitwise,
// on every kernel build this CPU runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/block_distance.h"
#include "core/complex.h"
#include "core/cpu_dispatch.h"
#include "core/memory.h"
#include "psd/fft.h"
#include "psd/variance_kernels.h"
#include "psd/variances.h"
#include "support/kernel_paths.h"
#include "support/library_fixtures.h"

using namespace vexa;
using vexa_fixtures::onEveryPath;

namespace {

bool sameBits(const void* a, const void* b, std::size_t bytes) {
    return std::memcmp(a, b, bytes) == 0;
}

// Mostly ordinary values, with zeros of both signs, denormals and values near
// `big` mixed in (chosen per test so that no sum overflows: infinities would
// make NaNs, whose payloads need not agree).
float awkward(std::mt19937& rng, float big) {
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    switch (rng() % 10) {
    case 0:
        return 0.0f;
    case 1:
        return -0.0f;
    case 2:
        return u(rng) * 1e-40f; // denormal
    case 3:
        return u(rng) * big;
    default:
        return u(rng);
    }
}

} // namespace

TEST(BatchedFft, EveryLaneEqualsTheOneLineRoutineBitwise) {
    std::mt19937 rng(21);
    onEveryPath([&] {
        for (int n : {4, 8, 16, 32, 64}) {
            for (int lanes : {4, 8}) {
                for (bool real : {false, true}) {
                    // A stride wider than the lanes: the gap must stay untouched.
                    const std::size_t stride = lanes + 3;
                    std::vector<float> re(n * stride), im(n * stride);
                    for (float& v : re) v = awkward(rng, 1e36f);
                    for (float& v : im) v = real ? 0.0f : awkward(rng, 1e36f);
                    const std::vector<float> re0 = re, im0 = im;
                    fftLanes(n, lanes, re.data(), im.data(), stride);
                    for (int l = 0; l < lanes; ++l) {
                        std::vector<Complex> in(n), out(n);
                        for (int k = 0; k < n; ++k)
                            in[k] = {re0[k * stride + l], im0[k * stride + l]};
                        // Real lines are what the x pass feeds in: they must match fftReal.
                        if (real)
                            fftReal(n, in.data(), out.data());
                        else
                            fftComplex(n, in.data(), out.data());
                        for (int k = 0; k < n; ++k) {
                            ASSERT_TRUE(sameBits(&re[k * stride + l], &out[k].re, sizeof(float)) &&
                                        sameBits(&im[k * stride + l], &out[k].im, sizeof(float)))
                                << "n=" << n << " lanes=" << lanes << " real=" << real
                                << " lane=" << l << " bin=" << k;
                        }
                    }
                    for (int k = 0; k < n; ++k) {
                        for (std::size_t g = lanes; g < stride; ++g) {
                            ASSERT_TRUE(sameBits(&re[k * stride + g], &re0[k * stride + g], 4) &&
                                        sameBits(&im[k * stride + g], &im0[k * stride + g], 4))
                                << "gap overwritten, n=" << n << " lanes=" << lanes;
                        }
                    }
                }
            }
        }
    });
}

TEST(BatchedFft, UnsupportedLengthOrLaneCountThrowsNamingIt) {
    std::vector<float> re(64 * 8, 1.0f), im(64 * 8, 0.0f);
    for (int n : {0, 2, 6, 128}) {
        try {
            fftLanes(n, 8, re.data(), im.data(), 8);
            ADD_FAILURE() << "n=" << n << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("fft length " + std::to_string(n)),
                      std::string::npos);
        }
    }
    EXPECT_THROW(fftLanes(8, 5, re.data(), im.data(), 8), std::invalid_argument);
}

TEST(BatchedVariances, AllVectorsInOnePassEqualThePlainLayerSumBitwise) {
    std::mt19937 rng(3);
    onEveryPath([&] {
        // Weight grids (nx, ny, nz) of one, less than and more than one block of layers.
        const Vec3<int> grids[] = {{5, 8, 8}, {1, 1, 1}, {3, 4, 16}, {33, 4, 4}, {2, 3, 5}};
        for (const Vec3<int>& g : grids) {
            const std::size_t layers = std::size_t(g.x) * g.y * g.z;
            for (int n : {64, 216, 27, 17, 5, 1}) {
                for (int count : {1, 2, 3, 4, 5, 9}) {
                    std::vector<float> table(n * layers), compact(count * layers);
                    for (float& v : table) v = awkward(rng, 1e15f);
                    for (float& v : compact) v = std::abs(awkward(rng, 1e15f));
                    // The same weights in a padded, differently ordered layout:
                    // x fastest with two spare columns, NaN in the padding.
                    const std::size_t sx = 1, sy = g.x + 2, sz = sy * g.y;
                    const std::size_t stride = sz * g.z + 7;
                    std::vector<float> padded(count * stride, std::nanf(""));
                    for (int w = 0; w < count; ++w)
                        for (int x = 0; x < g.x; ++x)
                            for (int y = 0; y < g.y; ++y)
                                for (int z = 0; z < g.z; ++z)
                                    padded[w * stride + x * sx + y * sy + z * sz] =
                                        compact[w * layers + z + g.z * (y + std::size_t(g.y) * x)];
                    LayerWeights weights;
                    weights.data = padded.data();
                    weights.vectorStride = stride;
                    weights.count = count;
                    weights.nx = g.x;
                    weights.ny = g.y;
                    weights.nz = g.z;
                    weights.sx = sx;
                    weights.sy = sy;
                    weights.sz = sz;
                    std::vector<float> fast(n * count, -1.0f), plain(n * count, -2.0f);
                    stridedLayerSums(table.data(), n, weights, fast.data());
                    weightedLayerSumReference<float>(table.data(), compact.data(), count, n, layers,
                                                     plain.data());
                    ASSERT_TRUE(sameBits(fast.data(), plain.data(), fast.size() * sizeof(float)))
                        << "grid " << g.x << "x" << g.y << "x" << g.z << " n=" << n
                        << " count=" << count;
                }
            }
        }
    });
}

namespace {

struct BatchCase {
    Vec3<int> F;
    int Wx;
    Vec3<int> B;
    int N;
    int E;
    int maxGroupSize; // 0: N
};

// Random group, K3fT3 and localVar: the two paths must agree bit for bit, and
// reduce the member positions alike.
void compareWithOneLinePath(const BatchCase& c, std::mt19937& rng) {
    SCOPED_TRACE("F " + std::to_string(c.F.x) + "x" + std::to_string(c.F.y) + "x" +
                 std::to_string(c.F.z) + " Wx " + std::to_string(c.Wx) + " N " +
                 std::to_string(c.N) + " E " + std::to_string(c.E) + " g " +
                 std::to_string(c.maxGroupSize));
    const Vec3<int> W{c.Wx, c.F.y, c.F.z};
    const int nB = c.B.x * c.B.y * c.B.z;
    const std::size_t nW = std::size_t(W.x) * W.y * W.z;
    const int g = c.maxGroupSize > 0 ? c.maxGroupSize : c.N;
    // No fold in the scratch sizes: the plane cube is then wide enough for any Wx.
    TempMemory<float> temp =
        createTempMemory<float>(vexa_fixtures::noiseParams(c.B, c.F, false, g, c.E, {8, 8, 8}));
    ASSERT_TRUE(temp.valid);
    temp.planeCube.size.z = W.x;

    std::vector<float> K3fT3(nB * nW), localVar(nB), G(std::size_t(c.N) * c.N);
    for (float& v : K3fT3) v = std::abs(awkward(rng, 1e8f));
    for (float& v : localVar) v = std::abs(awkward(rng, 1e8f));
    for (float& v : G) v = awkward(rng, 1e8f);
    // Positions up to three grid lengths out, so that members coincide modulo F.
    std::vector<BlockDistance<float>> members(c.N);
    for (auto& m : members) {
        m.relativePosition = {int(rng() % (3 * c.F.x)), int(rng() % (3 * c.F.y)),
                              int(rng() % (3 * c.F.z))};
    }
    // Three members on one point (one of them a grid length away), so that the
    // order in which coinciding weights add up shows.
    if (c.N > 2) {
        const Vec3<int> p = members[0].relativePosition;
        members[1].relativePosition = p;
        members[2].relativePosition = {p.x + c.F.x, p.y, p.z + c.F.z};
    }
    std::vector<BlockDistance<float>> membersRef = members;

    std::vector<float> fast(std::size_t(nB) * c.N, -1.0f), plain(std::size_t(nB) * c.N, -2.0f);
    Cube4D<float> vf, vp;
    vf.size = vp.size = {c.B.x, c.B.y, c.B.z, c.N};
    vf.data = fast.data();
    vp.data = plain.data();
    calculateVariancesReference<float>(c.N, c.B, c.F, W, c.E, G.data(), K3fT3.data(),
                                       localVar.data(), vp, membersRef.data(), temp);
    // The batched path must not depend on what the scratch held before.
    std::memset(static_cast<void*>(temp.spectrumCube.data), 0x7f,
                sizeof(Complex) * std::size_t(c.F.x) * c.F.y * c.F.z * g);
    calculateVariances<float>(c.N, c.B, c.F, W, c.E, G.data(), K3fT3.data(), localVar.data(), vf,
                              members.data(), temp);
    for (std::size_t i = 0; i < fast.size(); ++i) {
        ASSERT_TRUE(sameBits(&fast[i], &plain[i], sizeof(float)))
            << "psi=" << i % nB << " w=" << i / nB << ": " << fast[i] << " vs " << plain[i];
    }
    for (int i = 0; i < c.N; ++i) {
        const Vec3<int>& a = members[i].relativePosition;
        const Vec3<int>& b = membersRef[i].relativePosition;
        ASSERT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z) << "member " << i;
    }
}

} // namespace

TEST(BatchedVariances, EqualTheOneLinePathBitwise) {
    std::mt19937 rng(17);
    const Vec3<int> B4{4, 4, 4}, B6{6, 6, 6}, B3{3, 3, 3}, B8{8, 8, 1};
    const BatchCase cases[] = {
        // The default volume profile: 8^3 grid folded to 5 columns, 4^3 and 6^3 blocks.
        {{8, 8, 8}, 5, B4, 16, 4, 0},    {{8, 8, 8}, 5, B4, 32, 4, 0},
        {{8, 8, 8}, 5, B6, 16, 4, 0},    {{8, 8, 8}, 8, B4, 16, 16, 0},
        {{8, 8, 8}, 7, B3, 2, 2, 1}, // the pair table's call, one scratch slice
        {{8, 8, 8}, 3, B3, 1, 1, 0},     {{8, 8, 8}, 5, B4, 16, 0, 0},
        {{8, 8, 8}, 5, B4, 64, 4, 0},    {{4, 8, 16}, 3, B3, 16, 4, 0},
        {{4, 8, 16}, 4, B4, 32, 32, 0},  {{1, 8, 8}, 1, B3, 16, 4, 0}, // no x pass
        {{16, 16, 16}, 9, B4, 16, 4, 0}, {{16, 16, 16}, 16, B3, 2, 1, 0},
        {{64, 4, 4}, 33, B3, 16, 4, 0},  {{8, 64, 4}, 5, B3, 16, 4, 0},
        {{8, 4, 64}, 5, B3, 32, 4, 0},   {{16, 16, 1}, 9, B8, 16, 4, 0}, // images: no z pass
        {{32, 1, 8}, 17, B3, 16, 4, 0},                                  // no y pass
        {{8, 8, 8}, 5, B4, 80, 4, 0}, // longer than the batched path keeps
    };
    onEveryPath([&] {
        for (const BatchCase& c : cases) compareWithOneLinePath(c, rng);
    });
}
