// The factored noise table (the transforms' axis responses times the PSD)
// against the full table it stands for: the same entries, the same layer sums
// and the same group variances up to float rounding, for flat (white), axis
// by axis low-pass and shapeless PSDs; a PSD that is not finite must leave it
// empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/allocator.h"
#include "core/block_distance.h"
#include "core/memory.h"
#include "psd/factored_noise.h"
#include "psd/noise_tables.h"
#include "psd/variance_kernels.h"
#include "psd/variances.h"
#include "support/kernel_paths.h"
#include "support/library_fixtures.h"

using namespace vexa;
using vexa_fixtures::onEveryPath;

namespace {

struct Grid {
    Vec3<int> F;
    int Wx;
    Vec3<int> B;
    Vec3<int> psdSize;
};

std::string describe(const Grid& g) {
    return "F " + std::to_string(g.F.x) + "x" + std::to_string(g.F.y) + "x" +
           std::to_string(g.F.z) + " Wx " + std::to_string(g.Wx) + " B " + std::to_string(g.B.x) +
           "x" + std::to_string(g.B.y) + "x" + std::to_string(g.B.z);
}

// Random (not orthonormal) forward matrices: the factoring must not rely on
// the transforms' norms.
struct Matrices {
    std::vector<float> x, y, z;
    Matrices(const Vec3<int>& B, std::mt19937& rng) {
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (auto* m : {&x, &y, &z}) {
            const int n = m == &x ? B.x : m == &y ? B.y : B.z;
            m->resize(std::size_t(n) * n);
            for (float& v : *m) v = u(rng);
        }
    }
    Vec3<const float*> forward() const { return {x.data(), y.data(), z.data()}; }
};

// The full table of a PSD, freed on scope exit.
struct Table {
    float* data = nullptr;
    ~Table() { cFree(data); }
};

enum class Shape { Flat, AxisProducts, Shapeless };

const char* name(Shape k) {
    return k == Shape::Flat ? " flat" : k == Shape::AxisProducts ? " axis products" : " shapeless";
}

// A PSD on the psd grid of g: value times a product of axis profiles, which
// are constant (flat, white noise) or fall over three decades along each axis
// with a random ripple (low-pass noise), or value times random numbers over
// four decades (shapeless). Also its full table and its factored form (check
// table.data and s.valid()).
struct PsdCase {
    Vec3<int> W;
    Matrices m;
    std::vector<float> psd;
    Table table;
    FactoredNoise s;
    PsdCase(const Grid& g, float value, Shape shape, std::mt19937& rng)
        : W{g.Wx, g.F.y, g.F.z}, m(g.B, rng),
          psd(std::size_t(g.psdSize.x) * g.psdSize.y * g.psdSize.z, value) {
        std::uniform_real_distribution<double> ripple(0.7, 1.3), decades(-4.0, 0.0);
        const auto profile = [&](int n) {
            std::vector<double> p(n, 1.0);
            for (int i = 0; shape == Shape::AxisProducts && i < n; ++i) {
                const double f = std::min(i, n - i) / double(n); // symmetric in f
                p[i] = std::exp(-27.6 * f * f) * (i == 0 || 2 * i == n ? 1.0 : ripple(rng));
                if (i > n - i) p[i] = p[n - i]; // the mirrored half repeats the first
            }
            return p;
        };
        const std::vector<double> px = profile(g.psdSize.x), py = profile(g.psdSize.y),
                                  pz = profile(g.psdSize.z);
        for (int z = 0; z < g.psdSize.z; ++z)
            for (int y = 0; y < g.psdSize.y; ++y)
                for (int x = 0; x < g.psdSize.x; ++x)
                    psd[x + std::size_t(g.psdSize.x) * (y + std::size_t(g.psdSize.y) * z)] =
                        float(value * (shape == Shape::Shapeless ? std::pow(10.0, decades(rng))
                                                                 : px[x] * py[y] * pz[z]));
        computeK3fT3<float>(psd.data(), g.psdSize, g.F, W, g.B, m.forward(), table.data);
        computeFactoredNoise(psd.data(), g.psdSize, g.F, W, g.B, m.forward(), s);
    }
};

float largest(const std::vector<float>& v) {
    float m = 0.0f;
    for (float a : v) m = std::max(m, std::abs(a));
    return m;
}

const Grid kGrids[] = {
    {{8, 8, 8}, 5, {4, 4, 4}, {8, 8, 8}},      // the default volume profile, folded
    {{8, 8, 8}, 8, {4, 4, 4}, {5, 6, 7}},      // no fold, resampled from another grid
    {{8, 8, 8}, 5, {6, 6, 6}, {8, 8, 8}},      // 6^3 blocks
    {{16, 8, 4}, 9, {3, 5, 2}, {3, 3, 3}},     // unequal axes
    {{32, 32, 1}, 17, {8, 8, 1}, {32, 32, 1}}, // the default image profile
    {{7, 8, 8}, 5, {4, 4, 4}, {7, 8, 8}},      // an odd width folded
    {{4, 4, 4}, 3, {8, 8, 8}, {4, 4, 4}},      // blocks larger than the grid
    {{8, 6, 5}, 8, {2, 3, 4}, {8, 6, 5}},      // rows left over after the blocks of four
};

} // namespace

TEST(FactoredNoise, EveryPsdFactorsTheTableAndItsLayerSums) {
    std::mt19937 rng(5);
    for (const Shape shape : {Shape::Flat, Shape::AxisProducts, Shape::Shapeless})
        for (const Grid& g : kGrids) {
            SCOPED_TRACE(describe(g) + name(shape));
            const PsdCase c(g, 0.37f, shape, rng);
            const Vec3<int>& W = c.W;
            const Table& table = c.table;
            const FactoredNoise& s = c.s;
            ASSERT_NE(table.data, nullptr);
            ASSERT_TRUE(s.valid());
            // Flat PSDs and axis products are folded into the rows.
            ASSERT_EQ(s.psd == nullptr, shape != Shape::Shapeless);

            // Every entry of the table (x slowest) is the product of its factors.
            const int nB = g.B.x * g.B.y * g.B.z;
            const std::size_t layers = std::size_t(W.x) * W.y * W.z;
            std::vector<float> full(table.data, table.data + layers * nB);
            const float scale = largest(full);
            ASSERT_GT(scale, 0.0f);
            for (int fx = 0; fx < W.x; ++fx)
                for (int fy = 0; fy < W.y; ++fy)
                    for (int fz = 0; fz < W.z; ++fz)
                        for (int cz = 0; cz < g.B.z; ++cz)
                            for (int cy = 0; cy < g.B.y; ++cy)
                                for (int cx = 0; cx < g.B.x; ++cx) {
                                    const std::size_t layer =
                                        fz + std::size_t(W.z) * (fy + W.y * fx);
                                    const int psi = cx + g.B.x * (cy + g.B.y * cz);
                                    const float want = full[psi + nB * layer];
                                    const float p = s.psd == nullptr
                                                        ? 1.0f
                                                        : s.psd[fx + s.row * (fy + W.y * fz)];
                                    const float got = s.x[cx * W.x + fx] * s.y[cy * W.y + fy] *
                                                      s.z[cz * W.z + fz] * p;
                                    ASSERT_NEAR(got, want, 1e-5f * std::abs(want) + 1e-6f * scale)
                                        << "fx " << fx << " fy " << fy << " fz " << fz << " psi "
                                        << psi;
                                }

            // Layer sums of non-negative maps (powers) laid out as the group
            // variances lay them: rows padded, vectors apart.
            const int Wp = (W.x + 7) / 8 * 8;
            const std::size_t plane = std::size_t(W.z) * W.y * Wp;
            const int count = 3;
            std::vector<float> maps(plane * 2 * count, std::numeric_limits<float>::quiet_NaN());
            std::vector<float> flat(layers * count);
            std::uniform_real_distribution<float> u(0.0f, 50.0f);
            for (int v = 0; v < count; ++v)
                for (int fx = 0; fx < W.x; ++fx)
                    for (int fy = 0; fy < W.y; ++fy)
                        for (int fz = 0; fz < W.z; ++fz) {
                            const float value = (rng() % 5 == 0) ? 0.0f : u(rng);
                            maps[2 * plane * v + fx + std::size_t(Wp) * (fy + W.y * fz)] = value;
                            flat[layers * v + fz + std::size_t(W.z) * (fy + W.y * fx)] = value;
                        }
            LayerWeights w;
            w.data = maps.data();
            w.vectorStride = 2 * plane;
            w.count = count;
            w.nx = W.x;
            w.ny = W.y;
            w.nz = W.z;
            w.sx = 1;
            w.sy = Wp;
            w.sz = std::size_t(W.y) * Wp;
            ASSERT_TRUE(factoredFits(s, w));
            std::vector<float> want(std::size_t(nB) * count, -2.0f);
            weightedLayerSumReference<float>(table.data, flat.data(), count, nB, layers,
                                             want.data());
            const float sumScale = largest(want);
            onEveryPath([&] {
                std::vector<float> got(want.size(), -1.0f);
                factoredLayerSums(s, w, got.data());
                for (std::size_t i = 0; i < got.size(); ++i)
                    ASSERT_NEAR(got[i], want[i], 1e-5f * std::abs(want[i]) + 1e-7f * sumScale)
                        << "psi " << i % nB << " vector " << i / nB;
            });
        }
}

TEST(FactoredNoise, FlatPsdsAndAxisProductsFoldIntoTheRowsOthersKeepTheirValues) {
    const Vec3<int> F{8, 8, 8}, W{5, 8, 8}, B{4, 4, 4};
    std::mt19937 rng(9);
    const Matrices m(B, rng);
    std::vector<float> psd(512, 2.0f);
    FactoredNoise s;
    const auto at = [](int x, int y, int z) {
        return std::size_t(x) + 8 * (y + std::size_t(8) * z);
    };

    // Rounding-sized wobble (as the resampling leaves) still counts as flat.
    psd[100] = 2.0f * (1.0f + 2e-7f);
    computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(s.psd, nullptr);
    const float flatX = s.x[1];

    // A departure of 1e-4 inside the working grid is noise with a shape: the
    // PSD becomes a weight of its own, in rows of eight, the padding zero.
    psd[at(4, 4, 1)] = 2.0f * (1.0f + 1e-4f);
    computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
    ASSERT_TRUE(s.valid());
    ASSERT_NE(s.psd, nullptr);
    EXPECT_EQ(s.row, 8);
    EXPECT_EQ(s.psd[4 + 8 * (4 + 8 * 1)], psd[at(4, 4, 1)]);
    EXPECT_EQ(s.psd[0], 2.0f);
    for (int fx = W.x; fx < 8; ++fx) EXPECT_EQ(s.psd[fx + 8 * (7 + 8 * 7)], 0.0f) << fx;
    // The x rows then hold the scale without the PSD's value.
    EXPECT_NEAR(s.x[1] * 2.0f, flatX, 1e-6f * std::abs(flatX));

    // Columns beyond the working width are folded away: they do not count.
    psd[at(4, 4, 1)] = 2.0f;
    psd[7] = 5.0f; // fx = 7 >= W.x
    computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(s.psd, nullptr);
    psd[7] = 2.0f;

    // Values that are not finite leave it empty: the full table serves (and
    // the factors of an earlier call must not survive).
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {nan, inf}) {
        computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
        ASSERT_TRUE(s.valid());
        psd[at(3, 2, 1)] = bad;
        computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
        EXPECT_FALSE(s.valid()) << bad;
        EXPECT_EQ(s.y, nullptr);
        EXPECT_EQ(s.psd, nullptr);
        psd[at(3, 2, 1)] = 2.0f;
    }
    // Zero noise is flat: every variance is zero.
    std::fill(psd.begin(), psd.end(), 0.0f);
    computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(s.psd, nullptr);
    for (int i = 0; i < B.x * W.x; ++i) EXPECT_EQ(s.x[i], 0.0f);

    // Products of axis profiles (symmetric in fx, as the fold expects).
    const double a[8] = {4, 3, 1, 0.5, 0.2, 0.5, 1, 3}, b[8] = {1, 2, 3, 4, 5, 6, 7, 8},
                 c[8] = {9, 1, 1e-3, 7, 2, 2, 2, 2}, d[8] = {1, 1, 1, 1, 2, 2, 2, 2};
    const auto fill = [&](const double* px, const double* py, const double* pz, double add) {
        for (int z = 0; z < 8; ++z)
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    psd[at(x, y, z)] = float(px[x] * py[y] * pz[z] + add * a[x] * d[y] * b[z]);
    };
    const auto expectForm = [&](bool productForm, const char* what) {
        computeFactoredNoise(psd.data(), F, F, W, B, m.forward(), s);
        ASSERT_TRUE(s.valid()) << what;
        EXPECT_EQ(s.psd == nullptr, productForm) << what;
    };
    fill(a, b, c, 0.0);
    expectForm(true, "axis product");
    // Rounding wobble on the smallest value still factors; a 1e-4 departure
    // of one value does not.
    psd[at(4, 0, 2)] *= 1.0f + 2e-7f;
    expectForm(true, "axis product with rounding wobble");
    psd[at(4, 0, 2)] *= 1.0f + 1e-4f;
    expectForm(false, "axis product with a 1e-4 departure");
    // A sum of two products, each one separable, is not one: noise blurred
    // along x plus noise blurred along z.
    fill(a, b, c, 1e-3);
    expectForm(false, "sum of two axis products");
    // A radial PSD (the ramp of CT noise) is not either.
    for (int z = 0; z < 8; ++z)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const int fy = std::min(y, 8 - y), fz = std::min(z, 8 - z);
                psd[at(x, y, z)] = float(0.1 + std::sqrt(double(fy * fy + fz * fz)));
            }
    expectForm(false, "radial");
}

namespace {

// Group variances with and without the factors, on the stage's own tables.
void compareGroupVariances(const Grid& g, int N, int E, int maxGroupSize, bool expectFactored,
                           Shape shape, std::mt19937& rng) {
    SCOPED_TRACE(describe(g) + " N " + std::to_string(N) + " E " + std::to_string(E) + name(shape));
    const PsdCase c(g, 0.01f, shape, rng);
    const Vec3<int>& W = c.W;
    const Table& table = c.table;
    ASSERT_NE(table.data, nullptr);
    ASSERT_TRUE(c.s.valid());
    float* localVar = nullptr;
    computeLocalVar(table.data, W, g.B.x * g.B.y * g.B.z, localVar);
    ASSERT_NE(localVar, nullptr);

    TempMemory<float> temp = createTempMemory<float>(
        vexa_fixtures::noiseParams(g.B, g.F, W.x < g.F.x, maxGroupSize, E, g.psdSize));
    ASSERT_TRUE(temp.valid);
    // An orthonormal-like group matrix: the Haar-style rows of +-1/sqrt(N).
    std::vector<float> G(std::size_t(N) * N);
    for (int r = 0; r < N; ++r)
        for (int i = 0; i < N; ++i)
            G[std::size_t(r) * N + i] =
                ((__builtin_popcount(unsigned(r & i)) & 1) ? -1.0f : 1.0f) / std::sqrt(float(N));
    std::vector<BlockDistance<float>> members(N);
    for (auto& mb : members)
        mb.relativePosition = {int(rng() % 9), int(rng() % 9), int(rng() % (g.F.z > 1 ? 9 : 1))};
    std::vector<BlockDistance<float>> membersFactored = members;

    const int nB = g.B.x * g.B.y * g.B.z;
    std::vector<float> plain(std::size_t(nB) * N, -1.0f), factored(plain.size(), -2.0f);
    Cube4D<float> vp, vf;
    vp.size = vf.size = {g.B.x, g.B.y, g.B.z, N};
    vp.data = plain.data();
    vf.data = factored.data();
    calculateVariances<float>(N, g.B, g.F, W, E, G.data(), table.data, localVar, vp, members.data(),
                              temp);
    calculateVariances<float>(N, g.B, g.F, W, E, G.data(), table.data, localVar, vf,
                              membersFactored.data(), temp, &c.s);
    cFree(localVar);
    const float scale = largest(plain);
    ASSERT_GT(scale, 0.0f);
    bool identical = true;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        ASSERT_NEAR(factored[i], plain[i], 1e-5f * std::abs(plain[i]) + 1e-6f * scale)
            << "psi " << i % nB << " w " << i / nB;
        identical = identical && std::memcmp(&factored[i], &plain[i], sizeof(float)) == 0;
    }
    // Where the factors are taken the sums run in another order, so some
    // bits move; where they do not fit, the table's path runs unchanged.
    if (expectFactored)
        EXPECT_FALSE(identical);
    else
        EXPECT_TRUE(identical);
}

} // namespace

TEST(FactoredNoise, GroupVariancesAgreeWithTheFullTable) {
    std::mt19937 rng(23);
    for (const Shape shape : {Shape::Flat, Shape::AxisProducts, Shape::Shapeless}) {
        compareGroupVariances(kGrids[0], 16, 4, 16, true, shape, rng);
        compareGroupVariances(kGrids[0], 32, 4, 32, true, shape, rng);
        compareGroupVariances(kGrids[1], 8, 8, 16, true, shape, rng);
        compareGroupVariances(kGrids[2], 16, 4, 16, true, shape, rng);
        compareGroupVariances(kGrids[4], 16, 2, 16, true, shape, rng);
        // Partial sums beyond the factored path's scratch: the table serves.
        compareGroupVariances({{64, 64, 8}, 64, {4, 4, 4}, {64, 64, 8}}, 8, 4, 8, false, shape,
                              rng);
    }
    // A 2-D grid of 32 x 32 weighted rows takes 768 floats of scratch, a
    // 16 x 8 x 16 one 2048: the first is factored, the second too large.
    compareGroupVariances({{32, 32, 1}, 17, {8, 8, 1}, {32, 32, 1}}, 8, 4, 8, true,
                          Shape::Shapeless, rng);
    compareGroupVariances({{16, 8, 16}, 16, {2, 2, 2}, {16, 8, 16}}, 8, 4, 8, false,
                          Shape::Shapeless, rng);
}
