#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "blocks/block_collection.h"
#include "blocks/block_transforms.h"
#include "core/allocator.h"
#include "core/check.h"
#include "interface/transforms.h"
#include "threading/thread_pool.h"

using namespace vexa;
using TransformsMetas::StandardTransform;

namespace {

const Vec3<StandardTransform> ARB3{TransformsMetas::ARBITRARY, TransformsMetas::ARBITRARY,
                                   TransformsMetas::ARBITRARY};

std::vector<float> randomValues(std::size_t n, unsigned seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Separable transform computed in double, independent of the library code.
std::vector<double> separableDouble(const std::vector<float>& in, const Vec3<const float*>& m,
                                    const Vec3<int>& s) {
    std::vector<double> a(in.begin(), in.end()), b(a.size());
    auto pass = [&](int axis, const float* mat) {
        const int n = axis == 0 ? s.x : axis == 1 ? s.y : s.z;
        const int stride = axis == 0 ? 1 : axis == 1 ? s.x : s.x * s.y;
        for (int z = 0; z < s.z; ++z)
            for (int y = 0; y < s.y; ++y)
                for (int x = 0; x < s.x; ++x) {
                    const int c = axis == 0 ? x : axis == 1 ? y : z;
                    const int base = x + s.x * (y + s.y * z) - c * stride;
                    double acc = 0.0;
                    for (int k = 0; k < n; ++k) acc += mat[c * n + k] * a[base + k * stride];
                    b[x + s.x * (y + s.y * z)] = acc;
                }
        std::swap(a, b);
    };
    pass(0, m.x);
    pass(1, m.y);
    if (s.z > 1) pass(2, m.z);
    return a;
}

struct Scratch {
    std::vector<float> a, b;
    explicit Scratch(int n) : a(n, 0.0f), b(n, 0.0f) {}
};

std::vector<float> runTransf3D(const std::vector<float>& in, const Vec3<const float*>& m,
                               const Vec3<StandardTransform>& tags, const Vec3<int>& s) {
    Scratch sc(s.volume());
    std::vector<float> out(in.size(), 0.0f);
    transf3D(in.data(), m, tags, sc.a.data(), sc.b.data(), out.data(), s);
    return out;
}

std::vector<float> runReference(const std::vector<float>& in, const Vec3<const float*>& m,
                                const Vec3<int>& s) {
    Scratch sc(s.volume());
    std::vector<float> out(in.size(), 0.0f);
    transf3DReference(in.data(), m, sc.a.data(), sc.b.data(), out.data(), s);
    return out;
}

float maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
    float d = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
}

float maxAbsDiff(const std::vector<float>& a, const std::vector<double>& b) {
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return static_cast<float>(d);
}

struct FastCase {
    StandardTransform tag;
    const float* table;
    const char* name;
};

const FastCase FAST_CASES[] = {
    {TransformsMetas::DCT8, DCT_8_FWD, "DCT8"},
    {TransformsMetas::BIOR8, BIOR_8_FWD, "BIOR8"},
    {TransformsMetas::DCT8_INV, DCT_8_INV, "DCT8_INV"},
    {TransformsMetas::BIOR8_INV, BIOR_8_INV, "BIOR8_INV"},
};

// Float rounding of an 8-point butterfly against the 8-term product, per axis,
// on inputs in [-1, 1]: well below 1e-5.
constexpr float FAST_TOLERANCE = 1e-5f;

} // namespace

TEST(Transf3D, EachFastPathEqualsTheProductWithItsTable) {
    for (const FastCase& c : FAST_CASES) {
        for (Vec3<int> s : {Vec3<int>{8, 8, 1}, Vec3<int>{8, 8, 3}, Vec3<int>{8, 8, 8}}) {
            const auto in = randomValues(s.volume(), 11 + s.z);
            const auto z = randomValues(s.z * s.z, 5);
            const Vec3<const float*> m{c.table, c.table, z.data()};
            const Vec3<StandardTransform> tags{c.tag, c.tag, TransformsMetas::ARBITRARY};
            const auto fast = runTransf3D(in, m, tags, s);
            EXPECT_LT(maxAbsDiff(fast, runReference(in, m, s)), FAST_TOLERANCE)
                << c.name << " nz " << s.z;
            EXPECT_LT(maxAbsDiff(fast, separableDouble(in, m, s)), FAST_TOLERANCE)
                << c.name << " nz " << s.z;
        }
        // The fast path on one axis only, the product on the other.
        const Vec3<int> s{8, 8, 1};
        const auto in = randomValues(64, 3);
        const Vec3<const float*> m{c.table, DCT_8_FWD, ONE};
        const auto xOnly =
            runTransf3D(in, m, {c.tag, TransformsMetas::ARBITRARY, TransformsMetas::ARBITRARY}, s);
        EXPECT_LT(maxAbsDiff(xOnly, separableDouble(in, m, s)), FAST_TOLERANCE) << c.name;
        const Vec3<const float*> my{BIOR_8_FWD, c.table, ONE};
        const auto yOnly =
            runTransf3D(in, my, {TransformsMetas::ARBITRARY, c.tag, TransformsMetas::ARBITRARY}, s);
        EXPECT_LT(maxAbsDiff(yOnly, separableDouble(in, my, s)), FAST_TOLERANCE) << c.name;
    }
}

TEST(Transf3D, MatrixProductMatchesTheReferenceForEverySize) {
    for (Vec3<int> s : {Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}, Vec3<int>{5, 3, 2},
                        Vec3<int>{1, 7, 4}, Vec3<int>{6, 1, 1}, Vec3<int>{16, 2, 3}}) {
        const auto in = randomValues(s.volume(), 21);
        const auto mx = randomValues(s.x * s.x, 1), my = randomValues(s.y * s.y, 2),
                   mz = randomValues(s.z * s.z, 3);
        const Vec3<const float*> m{mx.data(), my.data(), mz.data()};
        const auto out = runTransf3D(in, m, ARB3, s);
        const auto ref = runReference(in, m, s);
        // Same accumulation order: equal up to contraction by the compiler.
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_NEAR(out[i], ref[i], 1e-6f * (1.0f + std::fabs(ref[i])))
                << "size " << s.x << "x" << s.y << "x" << s.z << " index " << i;
        EXPECT_LT(maxAbsDiff(out, separableDouble(in, m, s)), 1e-4f);
    }
}

TEST(Transf3D, ZAxisIsNeverFastPathedAndFlatBlocksSkipIt) {
    // A z tag of DCT8 with a different z matrix: the matrix must win.
    const Vec3<int> s{8, 8, 8};
    const auto in = randomValues(512, 7);
    const auto mz = randomValues(64, 8);
    const Vec3<const float*> m{DCT_8_FWD, DCT_8_FWD, mz.data()};
    const auto out = runTransf3D(
        in, m, {TransformsMetas::DCT8, TransformsMetas::DCT8, TransformsMetas::DCT8}, s);
    EXPECT_LT(maxAbsDiff(out, separableDouble(in, m, s)), FAST_TOLERANCE);

    // nz = 1: the z matrix is never read (null would crash) and the 2-D DCT results.
    const Vec3<int> flat{8, 8, 1};
    const auto in2 = randomValues(64, 9);
    const Vec3<const float*> m2{DCT_8_FWD, DCT_8_FWD, nullptr};
    const auto out2 =
        runTransf3D(in2, m2, {TransformsMetas::DCT8, TransformsMetas::DCT8, ARB3.z}, flat);
    const Vec3<const float*> m2ref{DCT_8_FWD, DCT_8_FWD, ONE};
    EXPECT_LT(maxAbsDiff(out2, separableDouble(in2, m2ref, flat)), FAST_TOLERANCE);

    // An 8-point tag on an axis of another size falls back to the product.
    const Vec3<int> small{4, 4, 4};
    const auto in3 = randomValues(64, 10);
    const Vec3<const float*> m3{DCT_4_FWD, HAAR_4_FWD, DCT_4_FWD};
    const auto out3 = runTransf3D(
        in3, m3, {TransformsMetas::DCT8, TransformsMetas::BIOR8_INV, TransformsMetas::DCT8}, small);
    EXPECT_LT(maxAbsDiff(out3, separableDouble(in3, m3, small)), 1e-5f);
}

TEST(Transf3D, ForwardThenInverseRestoresBlocksForEveryBuiltInTable) {
    struct Pair {
        const float* fwd;
        const float* inv;
        int n;
        const char* name;
    };
    const Pair pairs[] = {
        {DCT_4_FWD, DCT_4_INV, 4, "DCT4"},
        {DCT_5_FWD, DCT_5_INV, 5, "DCT5"},
        {DCT_8_FWD, DCT_8_INV, 8, "DCT8"},
        {BIOR_4_FWD, BIOR_4_INV, 4, "BIOR4"},
        {BIOR_8_FWD, BIOR_8_INV, 8, "BIOR8"},
        {HAAR_2_FWD, HAAR_2_INV, 2, "HAAR2"},
        {HAAR_4_FWD, HAAR_4_INV, 4, "HAAR4"},
        {HAAR_8_FWD, HAAR_8_INV, 8, "HAAR8"},
        {HAAR_16_FWD, HAAR_16_INV, 16, "HAAR16"},
        {HAAR_32_FWD, HAAR_32_INV, 32, "HAAR32"},
        {ONE, ONE, 1, "ONE"},
    };
    for (const Pair& p : pairs) {
        // The z extent stays small so that 32-point axes remain cheap.
        const Vec3<int> s{p.n, p.n, std::min(p.n, 4)};
        const float* zf = s.z == p.n ? p.fwd : (s.z == 4 ? DCT_4_FWD : ONE);
        const float* zi = s.z == p.n ? p.inv : (s.z == 4 ? DCT_4_INV : ONE);
        const auto in = randomValues(s.volume(), 31);
        const auto coeffs = runTransf3D(in, {p.fwd, p.fwd, zf}, ARB3, s);
        const auto back = runTransf3D(coeffs, {p.inv, p.inv, zi}, ARB3, s);
        // HAAR_2 uses 0.7071 rather than 1/sqrt(2): about 1e-4 per application.
        const float tol = p.n == 2 ? 2e-3f : 2e-5f;
        EXPECT_LT(maxAbsDiff(back, in), tol) << p.name;
        if (p.n > 1) {
            EXPECT_GT(maxAbsDiff(coeffs, in), 1e-3f) << p.name << " did not transform";
        }
    }
    // The same round trip through the butterflies.
    for (auto [fwd, inv, tf, ti] :
         {std::make_tuple(DCT_8_FWD, DCT_8_INV, TransformsMetas::DCT8, TransformsMetas::DCT8_INV),
          std::make_tuple(BIOR_8_FWD, BIOR_8_INV, TransformsMetas::BIOR8,
                          TransformsMetas::BIOR8_INV)}) {
        const Vec3<int> s{8, 8, 1};
        const auto in = randomValues(64, 41);
        const auto coeffs = runTransf3D(in, {fwd, fwd, ONE}, {tf, tf, ARB3.z}, s);
        const auto back = runTransf3D(coeffs, {inv, inv, ONE}, {ti, ti, ARB3.z}, s);
        EXPECT_LT(maxAbsDiff(back, in), 2e-5f) << "tag " << tf;
    }
}

TEST(Transf3D, InPlaceGivesTheSameResultAsSeparateBuffers) {
    for (auto [s, tags, m] :
         {std::make_tuple(Vec3<int>{8, 8, 1},
                          Vec3<StandardTransform>{TransformsMetas::BIOR8, TransformsMetas::BIOR8,
                                                  TransformsMetas::ARBITRARY},
                          Vec3<const float*>{BIOR_8_FWD, BIOR_8_FWD, ONE}),
          std::make_tuple(Vec3<int>{4, 4, 4}, ARB3,
                          Vec3<const float*>{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD}),
          std::make_tuple(Vec3<int>{8, 8, 8},
                          Vec3<StandardTransform>{TransformsMetas::DCT8, TransformsMetas::DCT8,
                                                  TransformsMetas::DCT8},
                          Vec3<const float*>{DCT_8_FWD, DCT_8_FWD, DCT_8_FWD})}) {
        const auto in = randomValues(s.volume(), 51);
        const auto separate = runTransf3D(in, m, tags, s);
        std::vector<float> block = in;
        Scratch sc(s.volume());
        transf3D(block.data(), m, tags, sc.a.data(), sc.b.data(), block.data(), s);
        EXPECT_EQ(block, separate);
    }
}

namespace {

const float* haarTable(int n, bool forward) {
    switch (n) {
    case 4:
        return forward ? HAAR_4_FWD : HAAR_4_INV;
    case 8:
        return forward ? HAAR_8_FWD : HAAR_8_INV;
    case 16:
        return forward ? HAAR_16_FWD : HAAR_16_INV;
    default:
        return forward ? HAAR_32_FWD : HAAR_32_INV;
    }
}

std::vector<double> applyTable(const float* m, const std::vector<float>& u) {
    const int n = static_cast<int>(u.size());
    std::vector<double> out(n, 0.0);
    for (int j = 0; j < n; ++j)
        for (int k = 0; k < n; ++k) out[j] += static_cast<double>(m[j * n + k]) * u[k];
    return out;
}

} // namespace

TEST(FastHaar, ForwardAndInverseMatchTheTablesThroughStridedAccessors) {
    for (int n : {4, 8, 16, 32}) {
        const int stride = 3;
        const auto values = randomValues(n, 60 + n);
        std::vector<float> strided(n * stride, 99.0f);
        for (int i = 0; i < n; ++i) strided[i * stride] = values[i];
        std::vector<float> outBuf(n * 2, -7.0f);
        IndexerBase<const float*, true> in{strided.data(), stride};
        IndexerBase<float*, true> out{outBuf.data(), 2};
        forwardHaar_32_16_8_4_2_1(in, out, n);
        const auto expected = applyTable(haarTable(n, true), values);
        std::vector<float> coeffs(n);
        for (int i = 0; i < n; ++i) {
            coeffs[i] = outBuf[i * 2];
            EXPECT_NEAR(coeffs[i], expected[i], 1e-5) << "n " << n << " coefficient " << i;
            EXPECT_EQ(outBuf[i * 2 + 1], -7.0f) << "wrote between strided elements";
        }

        std::vector<float> back(n);
        IndexerBase<const float*, true> cin{coeffs.data(), 1};
        IndexerBase<float*, true> bout{back.data(), 1};
        invHaar_32_16_8_4_2_1(cin, bout, n);
        const auto expectedBack = applyTable(haarTable(n, false), coeffs);
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(back[i], expectedBack[i], 1e-5) << "n " << n << " sample " << i;
            EXPECT_NEAR(back[i], values[i], 2e-5) << "n " << n << " round trip " << i;
        }
    }
}

TEST(FastHaar, GroupRecordAccessorReadsOneCoefficientOfEveryBlock) {
    const int n = 16, blockFloats = 5, k = 3;
    const auto storage = randomValues(n * blockFloats, 77);
    std::vector<BlockDistance<float>> records(n);
    std::vector<float> column(n);
    // Records point at blocks in reverse order, as a group would after sorting.
    for (int i = 0; i < n; ++i) {
        records[i].block = storage.data() + (n - 1 - i) * blockFloats;
        column[i] = records[i].block[k];
    }
    std::vector<float> out(n * blockFloats, 0.0f);
    IndexerBase<BlockDistance<float>*, true> in{records.data(), k};
    IndexerBase<float*, true> o{out.data() + k, blockFloats};
    forwardHaar_32_16_8_4_2_1(in, o, n);
    const auto expected = applyTable(HAAR_16_FWD, column);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(out[k + i * blockFloats], expected[i], 1e-5);
}

TEST(FastHaar, ConstantSequenceAndUnsupportedLengths) {
    for (int n : {4, 8, 16, 32}) {
        std::vector<float> v(n, 2.5f), c(n), back(n);
        IndexerBase<const float*, true> in{v.data(), 1};
        IndexerBase<float*, true> out{c.data(), 1};
        forwardHaar_32_16_8_4_2_1(in, out, n);
        EXPECT_NEAR(c[0], 2.5f * std::sqrt(static_cast<float>(n)), 1e-5f);
        for (int i = 1; i < n; ++i) EXPECT_EQ(c[i], 0.0f);
        IndexerBase<const float*, true> cin{c.data(), 1};
        IndexerBase<float*, true> bout{back.data(), 1};
        invHaar_32_16_8_4_2_1(cin, bout, n);
        for (int i = 0; i < n; ++i) EXPECT_NEAR(back[i], 2.5f, 1e-5f);
    }
    std::vector<float> v(64, 1.0f), c(64);
    IndexerBase<const float*, true> in{v.data(), 1};
    IndexerBase<float*, true> out{c.data(), 1};
    EXPECT_THROW(forwardHaar_32_16_8_4_2_1(in, out, 2), CheckFailure);
    EXPECT_THROW(invHaar_32_16_8_4_2_1(in, out, 64), CheckFailure);
}
