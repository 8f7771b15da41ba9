// Built-in tables, transform identification and the choice of a call's
// transform set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "core/allocator.h"
#include "core/parameters.h"
#include "support/library_fixtures.h"
#include "transforms/transform_choice.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"
#include "vexa.h"

namespace vexa {
namespace {

using namespace TransformsMetas;
using vexa_fixtures::paramsWith;
using vexa_fixtures::setWith;

constexpr double kPi = 3.14159265358979323846;

// max |A·B − I| of two n×n row-major matrices, accumulated in double.
double productDeviation(const float* a, const float* b, int n) {
    double worst = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = 0.0;
            for (int k = 0; k < n; ++k) s += static_cast<double>(a[i * n + k]) * b[k * n + j];
            worst = std::fmax(worst, std::fabs(s - (i == j ? 1.0 : 0.0)));
        }
    return worst;
}

bool isTranspose(const float* a, const float* b, int n) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            if (a[i * n + j] != b[j * n + i]) return false;
    return true;
}

struct Pair {
    const char* name;
    const float* fwd;
    const float* inv;
    int n;
};

const Pair kOrthonormal[] = {
    {"DCT_4", DCT_4_FWD, DCT_4_INV, 4},        {"DCT_5", DCT_5_FWD, DCT_5_INV, 5},
    {"DCT_8", DCT_8_FWD, DCT_8_INV, 8},        {"HAAR_4", HAAR_4_FWD, HAAR_4_INV, 4},
    {"HAAR_8", HAAR_8_FWD, HAAR_8_INV, 8},     {"HAAR_16", HAAR_16_FWD, HAAR_16_INV, 16},
    {"HAAR_32", HAAR_32_FWD, HAAR_32_INV, 32}, {"HAAR_64", HAAR_64_FWD, HAAR_64_INV, 64},
    {"BIOR_4", BIOR_4_FWD, BIOR_4_INV, 4},
};

TEST(BuiltinTables, OrthonormalTablesHaveTheirTransposeAsInverse) {
    for (const Pair& p : kOrthonormal) {
        EXPECT_TRUE(isTranspose(p.fwd, p.inv, p.n)) << p.name;
        EXPECT_LT(productDeviation(p.fwd, p.inv, p.n), 1e-6) << p.name << " M·Mt";
        EXPECT_LT(productDeviation(p.inv, p.fwd, p.n), 1e-6) << p.name << " INV·FWD";
    }
}

TEST(BuiltinTables, DctRowsFollowTheDctIIFormula) {
    const Pair dcts[] = {kOrthonormal[0], kOrthonormal[1], kOrthonormal[2]};
    for (const Pair& p : dcts)
        for (int k = 0; k < p.n; ++k)
            for (int c = 0; c < p.n; ++c) {
                const double a = std::sqrt((k == 0 ? 1.0 : 2.0) / p.n);
                const double want = a * std::cos(kPi * (2 * c + 1) * k / (2.0 * p.n));
                EXPECT_NEAR(p.fwd[k * p.n + c], want, 1e-7) << p.name << " " << k << "," << c;
            }
}

// Row 2^l + j: +1/sqrt(L) on the first half of segment j of length L = n/2^l,
// −1/sqrt(L) on its second half, coarsest level first.
TEST(BuiltinTables, HaarRowsAreCoarsestFirstSegmentDetails) {
    const Pair haars[] = {kOrthonormal[3], kOrthonormal[4], kOrthonormal[5], kOrthonormal[6],
                          kOrthonormal[7]};
    for (const Pair& p : haars) {
        const int n = p.n;
        for (int c = 0; c < n; ++c) EXPECT_FLOAT_EQ(p.fwd[c], 1.0f / std::sqrt(float(n)));
        for (int row = 1; row < n; ++row) {
            int l = 0;
            while ((2 << l) <= row) ++l;
            const int j = row - (1 << l);
            const int len = n >> l;
            const float v = static_cast<float>(1.0 / std::sqrt(double(len)));
            for (int c = 0; c < n; ++c) {
                float want = 0.0f;
                if (c >= j * len && c < (j + 1) * len) want = c < j * len + len / 2 ? v : -v;
                EXPECT_EQ(p.fwd[row * n + c], want) << p.name << " row " << row << " col " << c;
            }
        }
    }
}

TEST(BuiltinTables, PairTransformsUseTheirOwnRounding) {
    EXPECT_EQ(HAAR_2_FWD[0], 0.7071f);
    EXPECT_NE(HAAR_2_FWD[0], static_cast<float>(1.0 / std::sqrt(2.0)));
    const float h = 0.7071f;
    const float haar2[4] = {h, h, h, -h};
    const float s = static_cast<float>(1.0 / std::sqrt(2.0));
    const float size2[4] = {s, s, s, -s};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(HAAR_2_FWD[i], haar2[i]);
        EXPECT_EQ(HAAR_2_INV[i], haar2[i]);
        EXPECT_EQ(SIZE_2_TRANSFORM[i], size2[i]);
    }
    // 0.7071 is not exactly orthonormal: the product is I to 1e-4 only.
    EXPECT_LT(productDeviation(HAAR_2_INV, HAAR_2_FWD, 2), 1e-4);
    EXPECT_GT(productDeviation(HAAR_2_INV, HAAR_2_FWD, 2), 1e-6);
    EXPECT_LT(productDeviation(SIZE_2_TRANSFORM, SIZE_2_TRANSFORM, 2), 1e-6);
}

TEST(BuiltinTables, Bior4EqualsHaar4) {
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(BIOR_4_FWD[i], HAAR_4_FWD[i]);
        EXPECT_EQ(BIOR_4_INV[i], HAAR_4_INV[i]);
    }
}

TEST(BuiltinTables, Bior8InverseIsTheIdentityToFloatPrecision) {
    EXPECT_LT(productDeviation(BIOR_8_INV, BIOR_8_FWD, 8), 1e-6);
    EXPECT_LT(productDeviation(BIOR_8_FWD, BIOR_8_INV, 8), 1e-6);
    EXPECT_EQ(BIOR_8_FWD[0], 0.343550205f);
    EXPECT_EQ(BIOR_8_FWD[8 + 1], -0.461645573f);
    EXPECT_EQ(BIOR_8_FWD[2 * 8 + 4], -0.0835060477f);
    EXPECT_EQ(BIOR_8_FWD[3 * 8 + 4], 0.569359422f);
    EXPECT_EQ(BIOR_8_FWD[7 * 8 + 7], -0.707106769f);
    // Entries that vanish in exact arithmetic are stored as tiny magnitudes.
    for (int r = 0; r < 4; ++r) EXPECT_LT(std::fabs(BIOR_8_INV[r * 8 + 3]), 1e-15f);
    for (int r = 4; r < 8; ++r) EXPECT_LT(std::fabs(BIOR_8_INV[r * 8 + 2]), 1e-15f);
}

TEST(BuiltinTables, KaiserWindowsMatchTheQuotedFigures) {
    const double w8[8] = {0.438676, 0.681324, 0.876840, 0.985823,
                          0.985823, 0.876840, 0.681324, 0.438676};
    const double w4[4] = {0.438676, 0.924314, 0.924314, 0.438676};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_NEAR(KAISER_8x8[x + 8 * y], w8[y] * w8[x], 2e-6) << x << "," << y;
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_NEAR(KAISER_4x4x4[x + 4 * (y + 4 * z)], w4[z] * w4[y] * w4[x], 2e-6);
    // The separable factors themselves, to the six decimals quoted.
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(std::sqrt(KAISER_8x8[i * 9]), w8[i], 1e-6);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(std::cbrt(KAISER_4x4x4[i * 21]), w4[i], 1e-6);
}

TEST(BuiltinTables, SmallConstants) {
    EXPECT_EQ(ONE[0], 1.0f);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ZERO[i], 0);
    EXPECT_EQ(ARB_TRANSFORMS.x, ARBITRARY);
    EXPECT_EQ(ARB_TRANSFORMS.y, ARBITRARY);
    EXPECT_EQ(ARB_TRANSFORMS.z, ARBITRARY);
}

TEST(BuiltinTables, StandardTransformsListByKind) {
    const float* const want[32] = {
        DCT_4_FWD,   BIOR_4_FWD,  HAAR_4_FWD, nullptr,    DCT_5_FWD,  DCT_8_FWD,   BIOR_8_FWD,
        HAAR_8_FWD,  nullptr,     HAAR_2_FWD, HAAR_4_FWD, HAAR_8_FWD, HAAR_16_FWD, HAAR_32_FWD,
        nullptr,     nullptr,     DCT_4_INV,  BIOR_4_INV, HAAR_4_INV, nullptr,     DCT_5_INV,
        DCT_8_INV,   BIOR_8_INV,  HAAR_8_INV, nullptr,    HAAR_2_INV, HAAR_4_INV,  HAAR_8_INV,
        HAAR_16_INV, HAAR_32_INV, nullptr,    nullptr};
    const int sizes[16] = {4, 4, 4, 0, 5, 8, 8, 8, 0, 2, 4, 8, 16, 32, 0, 0};
    for (int k = 0; k < 32; ++k) EXPECT_EQ(standardTransformsList[k], want[k]) << "kind " << k;
    // Every forward entry has its inverse at kind + 16.
    for (int k = 0; k < 16; ++k) {
        if (sizes[k] == 0) continue;
        const double tol = k == NL_HAAR2 ? 1e-4 : 1e-6;
        EXPECT_LT(
            productDeviation(standardTransformsList[k + 16], standardTransformsList[k], sizes[k]),
            tol)
            << "kind " << k;
    }
}

TEST(BuiltinTables, GroupTablesHoldHaarAtPowersOfTwoOnly) {
    const float* fwd[7] = {nullptr,     HAAR_2_FWD,  HAAR_4_FWD, HAAR_8_FWD,
                           HAAR_16_FWD, HAAR_32_FWD, HAAR_64_FWD};
    const float* inv[7] = {nullptr,     HAAR_2_INV,  HAAR_4_INV, HAAR_8_INV,
                           HAAR_16_INV, HAAR_32_INV, HAAR_64_INV};
    for (int n = 0; n <= 64; ++n) {
        int level = 0;
        while (level < 7 && (1 << level) != n) ++level;
        const bool power = n >= 2 && level < 7;
        EXPECT_EQ(HAAR_NL_FWD[n], power ? fwd[level] : nullptr) << n;
        EXPECT_EQ(HAAR_NL_INV[n], power ? inv[level] : nullptr) << n;
    }
}

void expectSet(const Transforms<float>& t, const float* fwdXY, const float* fwdZ,
               const float* invXY, const float* invZ, const float* window) {
    EXPECT_EQ(t.forward.x, fwdXY);
    EXPECT_EQ(t.forward.y, fwdXY);
    EXPECT_EQ(t.forward.z, fwdZ);
    EXPECT_EQ(t.inverse.x, invXY);
    EXPECT_EQ(t.inverse.y, invXY);
    EXPECT_EQ(t.inverse.z, invZ);
    EXPECT_EQ(t.groupForward, static_cast<const float* const*>(HAAR_NL_FWD));
    EXPECT_EQ(t.groupInverse, static_cast<const float* const*>(HAAR_NL_INV));
    EXPECT_EQ(t.window, window);
}

TEST(BuiltinTables, CompleteSetsAreInitialisedAtLoad) {
    expectSet(DEFAULT_TRANSFORMS_3D, DCT_4_FWD, DCT_4_FWD, DCT_4_INV, DCT_4_INV, KAISER_4x4x4);
    expectSet(DEFAULT_TRANSFORMS_2D, BIOR_8_FWD, ONE, BIOR_8_INV, ONE, KAISER_8x8);
    expectSet(DEFAULT_TRANSFORMS_2D_WIE, DCT_8_FWD, ONE, DCT_8_INV, ONE, KAISER_8x8);
    const Vec3<const float*>* triples[6] = {&DEFAULT_FWD_3D, &DEFAULT_INV_3D, &BIOR_FWD_2D,
                                            &BIOR_INV_2D,    &DEFAULT_FWD_2D, &DEFAULT_INV_2D};
    const float* want[6][3] = {{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD}, {DCT_4_INV, DCT_4_INV, DCT_4_INV},
                               {BIOR_8_FWD, BIOR_8_FWD, ONE},     {BIOR_8_INV, BIOR_8_INV, ONE},
                               {DCT_8_FWD, DCT_8_FWD, ONE},       {DCT_8_INV, DCT_8_INV, ONE}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(triples[i]->x, want[i][0]) << i;
        EXPECT_EQ(triples[i]->y, want[i][1]) << i;
        EXPECT_EQ(triples[i]->z, want[i][2]) << i;
    }
}

// ---- identification ----

std::vector<float> shifted(const float* m, int count, float delta) {
    std::vector<float> v(m, m + count);
    for (int i = 0; i < count; ++i) v[i] += (i % 2 == 0) ? delta : -delta;
    return v;
}

// Meta that frees its kind tables when the test ends.
struct OwnedMeta {
    TransformsMeta<float> m;
    explicit OwnedMeta(const TransformsMeta<float>& meta) : m(meta) {}
    ~OwnedMeta() { releaseGroupKinds(m); }
};

TEST(Identification, BlockAxisKindsAndTheirInverses) {
    const std::vector<float> dct4Near = shifted(DCT_4_FWD, 16, 0.0009f);
    const std::vector<float> dct4Far = shifted(DCT_4_FWD, 16, 0.002f);
    const std::vector<float> dct8Near = shifted(DCT_8_FWD, 64, 0.0009f);
    const std::vector<float> dct8Far = shifted(DCT_8_FWD, 64, 0.002f);
    struct Case {
        const float* m;
        int n;
        StandardTransform kind;
    } cases[] = {
        {HAAR_4_FWD, 4, BIOR4},         {BIOR_4_FWD, 4, BIOR4},
        {DCT_4_FWD, 4, DCT4},           {dct4Near.data(), 4, DCT4},
        {dct4Far.data(), 4, ARBITRARY}, {DCT_5_FWD, 5, DCT5},
        {DCT_8_FWD, 8, DCT8},           {dct8Near.data(), 8, DCT8},
        {dct8Far.data(), 8, ARBITRARY}, {BIOR_8_FWD, 8, BIOR8},
        {HAAR_8_FWD, 8, HAAR8},         {ONE, 1, ARBITRARY},
        {HAAR_16_FWD, 16, ARBITRARY},   {DCT_4_INV, 4, ARBITRARY},
        {HAAR_2_FWD, 2, ARBITRARY},
    };
    for (const Case& c : cases) {
        // The same matrix on each axis in turn, the others plain identities.
        for (int axis = 0; axis < 3; ++axis) {
            const float* m[3] = {ONE, ONE, ONE};
            int n[3] = {1, 1, 1};
            m[axis] = c.m;
            n[axis] = c.n;
            OwnedMeta meta(
                getTransformMeta(setWith(m[0], m[1], m[2]), paramsWith({n[0], n[1], n[2]}, 1)));
            const StandardTransform fk[3] = {meta.m.forwardKind.x, meta.m.forwardKind.y,
                                             meta.m.forwardKind.z};
            const StandardTransform ik[3] = {meta.m.inverseKind.x, meta.m.inverseKind.y,
                                             meta.m.inverseKind.z};
            EXPECT_EQ(fk[axis], c.kind) << "n=" << c.n << " axis " << axis;
            EXPECT_EQ(ik[axis], c.kind + 16) << "n=" << c.n << " axis " << axis;
            EXPECT_EQ(fk[(axis + 1) % 3], ARBITRARY);
        }
    }
}

TEST(Identification, NanDifferencesDoNotCount) {
    std::vector<float> m(DCT_8_FWD, DCT_8_FWD + 64);
    m[10] = std::nanf("");
    OwnedMeta meta(getTransformMeta(setWith(m.data(), ONE, ONE), paramsWith({8, 1, 1}, 1)));
    EXPECT_EQ(meta.m.forwardKind.x, DCT8);
}

TEST(Identification, InverseMatrixIsNeverExamined) {
    std::vector<float> garbage(64, 3.0f);
    Transforms<float> t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.inverse.x = garbage.data();
    OwnedMeta meta(getTransformMeta(t, paramsWith({8, 8, 1}, 1)));
    EXPECT_EQ(meta.m.inverseKind.x, DCT8_INV);
    EXPECT_EQ(meta.m.inverse.x, garbage.data());
    EXPECT_EQ(meta.m.forward.y, DCT_8_FWD);
    EXPECT_EQ(meta.m.window, KAISER_8x8);
    EXPECT_EQ(meta.m.groupForward, static_cast<const float* const*>(HAAR_NL_FWD));
}

std::vector<int> kinds(const StandardTransform* table, int n) {
    std::vector<int> v;
    for (int i = 0; i <= n; ++i) v.push_back(table[i]);
    return v;
}

TEST(Identification, GroupKindsWithTheBuiltinHaarTables) {
    struct Case {
        int maxGroupSize;
        std::vector<std::pair<int, int>> identified;
    } cases[] = {
        {16, {{2, 9}, {4, 1}, {8, 7}, {16, 12}}},
        {24, {{2, 9}, {4, 1}, {8, 7}, {16, 12}}},
        {64, {{2, 9}, {4, 1}, {8, 7}, {16, 12}, {32, 13}}},
        {1, {}},
        {0, {}},
        {3, {{2, 9}}},
    };
    for (const Case& c : cases) {
        OwnedMeta meta(
            getTransformMeta(DEFAULT_TRANSFORMS_2D, paramsWith({8, 8, 1}, c.maxGroupSize)));
        ASSERT_NE(meta.m.groupForwardKind, nullptr);
        ASSERT_NE(meta.m.groupInverseKind, nullptr);
        std::vector<int> want(c.maxGroupSize + 1, ARBITRARY);
        for (auto& e : c.identified) want[e.first] = e.second;
        EXPECT_EQ(kinds(meta.m.groupForwardKind, c.maxGroupSize), want) << c.maxGroupSize;
        for (int& w : want) w += 16;
        EXPECT_EQ(kinds(meta.m.groupInverseKind, c.maxGroupSize), want) << c.maxGroupSize;
    }
}

TEST(Identification, GroupLengthsFourAndEightPreferTheBlockKinds) {
    std::vector<const float*> table(33, nullptr);
    table[2] = HAAR_2_FWD;
    table[4] = DCT_4_FWD;
    table[8] = BIOR_8_FWD;
    std::vector<float> arbitrary16(256, 0.25f);
    table[16] = arbitrary16.data();
    table[32] = HAAR_32_FWD;
    Transforms<float> t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.groupForward = table.data();
    OwnedMeta meta(getTransformMeta(t, paramsWith({8, 8, 1}, 32)));
    EXPECT_EQ(meta.m.groupForwardKind[2], NL_HAAR2);
    EXPECT_EQ(meta.m.groupForwardKind[4], DCT4);
    EXPECT_EQ(meta.m.groupForwardKind[8], BIOR8);
    EXPECT_EQ(meta.m.groupForwardKind[16], ARBITRARY);
    EXPECT_EQ(meta.m.groupForwardKind[32], NL_HAAR32);
    EXPECT_EQ(meta.m.groupInverseKind[8], BIOR8_INV);
}

TEST(Identification, DegenerateGroupInputsStaySafe) {
    Transforms<float> t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.groupForward = nullptr;
    {
        OwnedMeta meta(getTransformMeta(t, paramsWith({8, 8, 1}, 16)));
        ASSERT_NE(meta.m.groupForwardKind, nullptr);
        for (int i = 0; i <= 16; ++i) EXPECT_EQ(meta.m.groupForwardKind[i], ARBITRARY);
    }
    {
        OwnedMeta meta(getTransformMeta(t, paramsWith({8, 8, 1}, -3)));
        EXPECT_EQ(meta.m.groupForwardKind, nullptr);
        EXPECT_EQ(meta.m.groupInverseKind, nullptr);
    }
    // A failed allocation leaves both tables null: plain products everywhere.
    int calls = 0;
    setAllocationFailureHook([&](std::size_t) { return ++calls == 2; });
    OwnedMeta meta(getTransformMeta(DEFAULT_TRANSFORMS_2D, paramsWith({8, 8, 1}, 16)));
    setAllocationFailureHook({});
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(meta.m.groupForwardKind, nullptr);
    EXPECT_EQ(meta.m.groupInverseKind, nullptr);
    EXPECT_EQ(meta.m.forwardKind.x, BIOR8);
}

// ---- choice of the transform set ----

TEST(EntrySteps, TransformChoiceByBlockSize) {
    const Transforms<float> none{
        {nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}, nullptr, nullptr, nullptr};
    EXPECT_EQ(chooseTransformSource(none, paramsWith({4, 4, 4}, 16)), TransformSource::Default3D);
    EXPECT_EQ(chooseTransformSource(none, paramsWith({8, 8, 1}, 16)), TransformSource::Default2D);
    const Vec3<int> missing[] = {{4, 4, 8}, {4, 8, 4}, {8, 8, 2}, {8, 4, 1}, {5, 5, 5}, {0, 0, 0}};
    for (const Vec3<int>& b : missing) {
        try {
            chooseTransformSource(none, paramsWith(b, 16));
            ADD_FAILURE() << "no exception for " << b.x << "," << b.y << "," << b.z;
        } catch (const MissingTransformException& e) {
            EXPECT_STREQ(e.what(), "No transform was passed, and no internal transform could be "
                                   "found to replace it!");
        }
    }
    const Transforms<float> caller = setWith(DCT_4_FWD, DCT_4_FWD, HAAR_8_FWD);
    EXPECT_EQ(chooseTransformSource(caller, paramsWith({4, 4, 8}, 16)), TransformSource::Caller);
}

TEST(EntrySteps, MissingGroupForwardReplacesBothGroupTables) {
    const float* inverseOnly[3] = {nullptr, nullptr, DCT_4_INV};
    Transforms<float> t = setWith(DCT_8_FWD, DCT_8_FWD, ONE);
    t.groupForward = nullptr;
    t.groupInverse = inverseOnly;
    fillDefaultGroupTables(t);
    EXPECT_EQ(t.groupForward, static_cast<const float* const*>(HAAR_NL_FWD));
    EXPECT_EQ(t.groupInverse, static_cast<const float* const*>(HAAR_NL_INV));
    const float* const* mine = inverseOnly;
    t.groupForward = mine;
    t.groupInverse = mine;
    fillDefaultGroupTables(t);
    EXPECT_EQ(t.groupForward, mine);
}

TEST(EntrySteps, PreparedSetsPerSourceAndStage) {
    const Transforms<float> none{};
    {
        OwnedMeta meta(
            prepareTransforms(HT, TransformSource::Default3D, none, paramsWith({4, 4, 4}, 16)));
        EXPECT_EQ(meta.m.forward.x, DCT_4_FWD);
        EXPECT_EQ(meta.m.window, KAISER_4x4x4);
        EXPECT_EQ(meta.m.groupForward, static_cast<const float* const*>(HAAR_NL_FWD));
        // The block axes keep the plain product; the built-in group tables
        // are identified, so groups of 16 take the fast Haar.
        EXPECT_EQ(meta.m.forwardKind.x, ARBITRARY);
        EXPECT_EQ(meta.m.inverseKind.z, ARBITRARY_INV);
        ASSERT_NE(meta.m.groupForwardKind, nullptr);
        ASSERT_NE(meta.m.groupInverseKind, nullptr);
        const StandardTransform want[17] = {ARBITRARY, ARBITRARY, NL_HAAR2,  ARBITRARY, BIOR4,
                                            ARBITRARY, ARBITRARY, ARBITRARY, HAAR8,     ARBITRARY,
                                            ARBITRARY, ARBITRARY, ARBITRARY, ARBITRARY, ARBITRARY,
                                            ARBITRARY, NL_HAAR16};
        for (int s = 0; s <= 16; ++s) {
            EXPECT_EQ(meta.m.groupForwardKind[s], want[s]) << s;
            EXPECT_EQ(meta.m.groupInverseKind[s], inverseOf(want[s])) << s;
        }
    }
    {
        OwnedMeta meta(
            prepareTransforms(HT, TransformSource::Default2D, none, paramsWith({8, 8, 1}, 16)));
        EXPECT_EQ(meta.m.forward.x, BIOR_8_FWD);
        EXPECT_EQ(meta.m.forwardKind.x, BIOR8);
        EXPECT_EQ(meta.m.forwardKind.y, BIOR8);
        EXPECT_EQ(meta.m.forwardKind.z, ARBITRARY);
        ASSERT_NE(meta.m.groupForwardKind, nullptr);
        EXPECT_EQ(meta.m.groupForwardKind[16], NL_HAAR16);
    }
    {
        OwnedMeta meta(
            prepareTransforms(Wie, TransformSource::Default2D, none, paramsWith({8, 8, 1}, 16)));
        EXPECT_EQ(meta.m.forward.x, DCT_8_FWD);
        EXPECT_EQ(meta.m.inverse.y, DCT_8_INV);
        EXPECT_EQ(meta.m.forwardKind.x, DCT8);
        EXPECT_EQ(meta.m.inverseKind.x, DCT8_INV);
    }
    {
        const Transforms<float> caller = setWith(HAAR_4_FWD, DCT_4_FWD, ONE);
        OwnedMeta meta(
            prepareTransforms(Wie, TransformSource::Caller, caller, paramsWith({4, 4, 1}, 4)));
        EXPECT_EQ(meta.m.forwardKind.x, BIOR4);
        EXPECT_EQ(meta.m.forwardKind.y, DCT4);
        EXPECT_EQ(meta.m.forward.x, HAAR_4_FWD);
    }
}

} // namespace
} // namespace vexa
