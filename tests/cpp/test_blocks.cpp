#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "blocks/block_collection.h"
#include "blocks/block_transforms.h"
#include "blocks/group_transforms.h"
#include "core/allocator.h"
#include "core/check.h"
#include "core/cpu_dispatch.h"
#include "support/kernel_paths.h"
#include "threading/thread_pool.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"

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

        // Rows or columns of other lengths around the 8-point axis.
        const auto m3 = randomValues(9, 12), m5 = randomValues(25, 13), m2 = randomValues(4, 14);
        const Vec3<int> sx{8, 3, 2}, sy{5, 8, 2};
        const auto inx = randomValues(sx.volume(), 15), iny = randomValues(sy.volume(), 16);
        const Vec3<const float*> mx3{c.table, m3.data(), m2.data()};
        const Vec3<const float*> my5{m5.data(), c.table, m2.data()};
        EXPECT_LT(maxAbsDiff(runTransf3D(inx, mx3, {c.tag, c.tag, c.tag}, sx),
                             separableDouble(inx, mx3, sx)),
                  FAST_TOLERANCE)
            << c.name;
        EXPECT_LT(maxAbsDiff(runTransf3D(iny, my5, {c.tag, c.tag, c.tag}, sy),
                             separableDouble(iny, my5, sy)),
                  FAST_TOLERANCE)
            << c.name;
    }
}

TEST(Transf3D, MatrixProductMatchesTheReferenceForEverySize) {
    // The fixed-size kernels (4x4x4, 8x8x1, 6x6x6) on both instruction-set
    // paths, and the general loops: the same sums in the same order, so the
    // same bits, also when the block is transformed in place.
    const KernelPath before = kernelPath();
    for (KernelPath path : {KernelPath::Baseline, KernelPath::Avx2}) {
        if (forceKernelPath(path) != path) continue;
        for (Vec3<int> s :
             {Vec3<int>{4, 4, 4}, Vec3<int>{8, 8, 1}, Vec3<int>{5, 3, 2}, Vec3<int>{1, 7, 4},
              Vec3<int>{6, 1, 1}, Vec3<int>{16, 2, 3}, Vec3<int>{6, 6, 6}, Vec3<int>{6, 6, 5}}) {
            const auto in = randomValues(s.volume(), 21);
            const auto mx = randomValues(s.x * s.x, 1), my = randomValues(s.y * s.y, 2),
                       mz = randomValues(s.z * s.z, 3);
            const Vec3<const float*> m{mx.data(), my.data(), mz.data()};
            const auto out = runTransf3D(in, m, ARB3, s);
            const auto ref = runReference(in, m, s);
            auto inPlace = in;
            Scratch sc(s.volume());
            transf3D(inPlace.data(), m, ARB3, sc.a.data(), sc.b.data(), inPlace.data(), s);
            for (std::size_t i = 0; i < out.size(); ++i) {
                ASSERT_EQ(out[i], ref[i]) << "size " << s.x << "x" << s.y << "x" << s.z << " index "
                                          << i << " path " << int(path);
                ASSERT_EQ(inPlace[i], ref[i]) << "in place, index " << i;
            }
            EXPECT_LT(maxAbsDiff(out, separableDouble(in, m, s)), 1e-4f);
        }
    }
    forceKernelPath(before);
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

namespace {

// A volume of random samples with its view.
struct Volume {
    Vec3<int> size;
    std::vector<float> samples;
    ImageData<float> view;

    Volume(Vec3<int> s, unsigned seed)
        : size(s), samples(randomValues(s.volume(), seed)), view(samples.data(), s) {}
};

// Block scratch for extractBlock / moveInImage, owned by the test.
struct TestTemp {
    std::vector<float> a, b;
    TempMemory<float> temp;
    explicit TestTemp(int blockFloats) : a(blockFloats), b(blockFloats) {
        temp.blockScratchA = a.data();
        temp.blockScratchB = b.data();
    }
    // The scratch is borrowed: the TempMemory must not release it.
    ~TestTemp() { temp.blockScratchA = temp.blockScratchB = nullptr; }
};

// The transform of the block at origin p, read straight from the volume.
std::vector<float> directBlock(const Volume& v, const Vec3<int>& p, const Vec3<int>& b,
                               const Vec3<const float*>& m) {
    std::vector<float> raw(b.volume());
    for (int z = 0; z < b.z; ++z)
        for (int y = 0; y < b.y; ++y)
            for (int x = 0; x < b.x; ++x)
                raw[x + b.x * (y + b.y * z)] =
                    v.samples[(p.x + x) + v.size.x * ((p.y + y) + v.size.y * (p.z + z))];
    return runReference(raw, m, b);
}

float maxAbsDiff(const float* a, const std::vector<float>& b) {
    float d = 0.0f;
    for (std::size_t i = 0; i < b.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
}

const Vec3<const float*> DCT3D{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD};
const Vec3<const float*> DCT2D{DCT_8_FWD, DCT_8_FWD, ONE};
const Vec3<StandardTransform> DCT2D_TAGS{TransformsMetas::DCT8, TransformsMetas::DCT8,
                                         TransformsMetas::ARBITRARY};

std::string failureText(const std::function<void()>& f) {
    try {
        f();
    } catch (const CheckFailure& e) {
        return e.text;
    }
    return "";
}

} // namespace

TEST(BlockCollection, AllocateSizesTheBoxAndReportsFailures) {
    BlockCollection<float> c;
    ASSERT_NE(c.allocate({10, 10, 1}, {8, 8, 1}, {3, 3, 3}), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(c.data) % 64, 0u) << "slots start on a cache line";
    EXPECT_EQ(c.blockCount, 9);
    EXPECT_EQ(c.totalBlockSize, 64);
    EXPECT_FALSE(c.getHasData());
    // Windowed: min(100 - 4, 2 * 5 + 2) + 1 = 13 origins; whole: 21 - 4 + 1 = 18.
    ASSERT_NE(c.allocate({100, 21, 4}, {4, 4, 4}, {5, 22, 5}), nullptr);
    EXPECT_EQ(c.blockCount, 13 * 18 * 1);
    EXPECT_EQ(failureText([&] {
                  c.allocate({4, 4, 4}, {8, 4, 4}, {1, 1, 1});
              }),
              "blockSize.x <= imageSize.x && blockSize.y <= imageSize.y && "
              "blockSize.z <= imageSize.z");
    EXPECT_EQ(failureText([&] {
                  c.allocate({20, 20, 20}, {4, 4, 4}, {-3, 1, 1});
              }),
              "blockCount > 0");

    const std::string advice =
        "Failed to allocate block memory! \n"
        "If profile.split_block_extraction is set to [False, False, False], this is likely "
        "fixed by \nsetting the value to [False, False, True] or, if still failing, [False, "
        "True, True]. \npro = VEXAProfile(); pro.split_block_extraction = [False, False, "
        "True]; y_est = vexa(z, psd, pro);\n";
    // A failed reallocation after a successful one: data is null, nothing leaks.
    setAllocationFailureHook([](std::size_t) { return true; });
    testing::internal::CaptureStderr();
    long total = -1;
    EXPECT_EQ(c.allocate(40, 64, total), nullptr);
    setAllocationFailureHook(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), advice);
    EXPECT_EQ(c.data, nullptr);
    EXPECT_EQ(total, 40 * 64);

    Volume v({20, 20, 20}, 1);
    TestTemp t(64);
    EXPECT_FALSE(
        c.extractInitial(v.view, {0, 0, 0}, {4, 4, 4}, DCT3D, ARB3, false, t.temp, {2, 2, 2}));
    EXPECT_FALSE(c.getHasData());

    // A size beyond long (or size_t) is a failure with the same message, not a wrapped size.
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.allocate(LONG_MAX / 2, 64, total), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), advice);
    EXPECT_EQ(total, 0);
}

TEST(BlockCollection, ExtractInitialPlacesTheBoxAndTransformsEveryBlock) {
    Volume v({20, 20, 20}, 2);
    TestTemp t(64);
    BlockCollection<float> c;
    ASSERT_TRUE(
        c.extractInitial(v.view, {0, 0, 0}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, {2, 2, 2}));
    EXPECT_TRUE(c.getHasData());
    EXPECT_EQ(c._bufferStart, (Vec3<int>{0, 0, 0}));
    EXPECT_EQ(c._bufferRange, (Vec3<int>{7, 7, 7}));
    EXPECT_EQ(c.blockCount, 343);

    BlockCollection<float> d;
    ASSERT_TRUE(
        d.extractInitial(v.view, {10, 0, 0}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, {2, 2, 2}));
    EXPECT_EQ(d._bufferStart, (Vec3<int>{7, 0, 0}));
    EXPECT_EQ(d._bufferRange, (Vec3<int>{7, 7, 7})); // end.x = min(13, 16)
    for (int z = 0; z <= 6; ++z)
        for (int y = 0; y <= 6; ++y)
            for (int x = 7; x <= 13; ++x)
                ASSERT_LT(
                    maxAbsDiff(d.getBlock({x, y, z}), directBlock(v, {x, y, z}, {4, 4, 4}, DCT3D)),
                    1e-5f)
                    << x << "," << y << "," << z;

    // Near the far end the box is clamped to the last origin.
    BlockCollection<float> e;
    ASSERT_TRUE(
        e.extractInitial(v.view, {16, 16, 15}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, {2, 2, 2}));
    EXPECT_EQ(e._bufferStart, (Vec3<int>{13, 13, 12}));
    EXPECT_EQ(e._bufferRange, (Vec3<int>{4, 4, 5}));

    EXPECT_EQ(
        failureText([&] {
            e.extractInitial(v.view, {-1, 0, 0}, {4, 4, 4}, DCT3D, ARB3, false, t.temp, {2, 2, 2});
        }),
        "pos.x >= 0 && pos.y >= 0 && pos.z >= 0");
    // A box larger than the buffer that was allocated is refused, not overrun.
    EXPECT_EQ(
        failureText([&] {
            e.extractInitial(v.view, {8, 8, 8}, {4, 4, 4}, DCT3D, ARB3, false, t.temp, {2, 2, 2});
        }),
        "_bufferRange.x * _bufferRange.y * _bufferRange.z <= blockCount");
}

TEST(BlockCollection, ExtractInitialUsesTheFastPathsOnThePool) {
    ThreadPool::THREAD_POOL.launchPool(3);
    Volume v({40, 37, 1}, 3);
    TestTemp t(64);
    BlockCollection<float> c;
    const bool ok =
        c.extractInitial(v.view, {12, 9, 0}, {8, 8, 1}, DCT2D, DCT2D_TAGS, true, t.temp, {5, 5, 5});
    ThreadPool::THREAD_POOL.clearPool();
    ASSERT_TRUE(ok);
    EXPECT_EQ(c._bufferStart, (Vec3<int>{6, 3, 0}));
    EXPECT_EQ(c._bufferRange, (Vec3<int>{13, 13, 1}));
    // Every slot, including the last chunk's, holds its own transformed block.
    for (int y = 3; y < 16; ++y)
        for (int x = 6; x < 19; ++x)
            ASSERT_LT(
                maxAbsDiff(c.getBlock({x, y, 0}), directBlock(v, {x, y, 0}, {8, 8, 1}, DCT2D)),
                FAST_TOLERANCE);
}

TEST(BlockCollection, GetBlockChecksEveryComponent) {
    Volume v({20, 20, 20}, 4);
    TestTemp t(64);
    BlockCollection<float> c;
    ASSERT_TRUE(
        c.extractInitial(v.view, {10, 10, 10}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, {2, 2, 2}));
    const Vec3<int> last = c._bufferStart + c._bufferRange - Vec3<int>{1, 1, 1};
    EXPECT_NO_THROW(c.getBlock(last));
    EXPECT_NO_THROW(c.getBlock(c._bufferStart));
    Vec3<int> below = c._bufferStart;
    below.x -= 1;
    EXPECT_EQ(failureText([&] { c.getBlock(below); }), "coords >= _bufferStart");
    EXPECT_EQ(failureText([&] { c.getBlock(c._bufferStart + c._bufferRange); }),
              "coords < _bufferStart + _bufferRange");
    // One component past the box would alias another slot: refused as well.
    Vec3<int> aliasing = last;
    aliasing.y += 1;
    EXPECT_EQ(failureText([&] { c.getBlock(aliasing); }), "coords < _bufferStart + _bufferRange");
}

TEST(BlockCollection, MoveInImageRefillsOnlyTheEnteringSlice) {
    Volume v({20, 20, 20}, 5);
    TestTemp t(64);
    BlockCollection<float> c;
    ASSERT_TRUE(
        c.extractInitial(v.view, {0, 0, 0}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, {2, 2, 2}));
    const float* slotOfZ0 = c.getBlock({3, 2, 0});
    c.moveInImage(v.view, {0, 0, 1}, {4, 4, 4}, DCT3D, t.temp);
    EXPECT_EQ(c._bufferStart, (Vec3<int>{0, 0, 1}));
    EXPECT_EQ(c.getBlock({3, 2, 7}), slotOfZ0); // z = 7 took the slot of z = 0
    for (int z = 1; z <= 7; ++z)
        for (int y = 0; y <= 6; ++y)
            for (int x = 0; x <= 6; ++x)
                ASSERT_LT(
                    maxAbsDiff(c.getBlock({x, y, z}), directBlock(v, {x, y, z}, {4, 4, 4}, DCT3D)),
                    1e-5f);

    // A box that already reaches the last origin is not refilled, only moved.
    BlockCollection<float> e;
    ASSERT_TRUE(
        e.extractInitial(v.view, {0, 0, 16}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, {2, 2, 2}));
    ASSERT_EQ(e._bufferStart.z + e._bufferRange.z, 20 - 4 + 1);
    const std::vector<float> before(e.data, e.data + e.blockCount * e.totalBlockSize);
    e.moveInImage(v.view, {0, 0, 1}, {4, 4, 4}, DCT3D, t.temp);
    EXPECT_EQ(e._bufferStart.z, 14);
    EXPECT_EQ(std::vector<float>(e.data, e.data + e.blockCount * e.totalBlockSize), before);
}

TEST(BlockCollection, SlidingAlongEachAxisMatchesAFreshExtraction) {
    struct Case {
        Vec3<int> image, block, radius, pos, move;
        Vec3<const float*> m;
        Vec3<StandardTransform> tags;
    };
    const Case cases[] = {
        {{60, 30, 1}, {8, 8, 1}, {3, 30, 2}, {20, 0, 0}, {3, 0, 0}, DCT2D, DCT2D_TAGS},
        {{30, 60, 1}, {8, 8, 1}, {30, 4, 2}, {0, 22, 0}, {0, 4, 0}, DCT2D, DCT2D_TAGS},
        {{12, 12, 40}, {4, 4, 4}, {12, 12, 3}, {0, 0, 15}, {0, 0, 2}, DCT3D, ARB3},
        {{12, 12, 40}, {4, 4, 4}, {12, 12, 3}, {0, 0, 15}, {0, 0, 7}, DCT3D, ARB3},
    };
    for (const Case& k : cases) {
        Volume v(k.image, 6);
        TestTemp t(k.block.volume());
        BlockCollection<float> slid, fresh;
        ASSERT_TRUE(
            slid.extractInitial(v.view, k.pos, k.block, k.m, k.tags, true, t.temp, k.radius));
        slid.moveInImage(v.view, k.move, k.block, k.m, t.temp);
        const Vec3<int> next = k.pos + k.move;
        ASSERT_TRUE(
            fresh.extractInitial(v.view, next, k.block, k.m, k.tags, true, t.temp, k.radius));
        ASSERT_EQ(slid._bufferStart, fresh._bufferStart);
        ASSERT_EQ(slid._bufferRange, fresh._bufferRange);
        const Vec3<int> s = fresh._bufferStart, r = fresh._bufferRange;
        for (int z = s.z; z < s.z + r.z; ++z)
            for (int y = s.y; y < s.y + r.y; ++y)
                for (int x = s.x; x < s.x + r.x; ++x) {
                    const float* a = slid.getBlock({x, y, z});
                    const float* b = fresh.getBlock({x, y, z});
                    for (int i = 0; i < k.block.volume(); ++i)
                        ASSERT_NEAR(a[i], b[i], FAST_TOLERANCE)
                            << "move " << k.move.x << k.move.y << k.move.z << " at " << x << ","
                            << y << "," << z;
                }
    }
}

// A ring that follows a wandering need (small slides on every axis, jumps,
// slack) must hold, after every call, the transform of its own block at every
// origin of its box: slots written by the shared-pass region products, by the
// per-block loop (no fixed kernel, fast paths, rows of fewer than eight
// origins) and slots kept from the old box alike, bit for bit.
TEST(BlockCollection, CoverWindowHoldsEveryOriginsTransformAfterEachMove) {
    const std::vector<float> m6 = randomValues(36, 41), m5 = randomValues(25, 42),
                             m3 = randomValues(9, 43), m2 = randomValues(4, 44);
    struct Case {
        Vec3<int> image, block, capacity;
        Vec3<const float*> m;
        Vec3<StandardTransform> tags;
    };
    const Vec3<const float*> six{m6.data(), m6.data(), m6.data()};
    const Case cases[] = {
        {{29, 15, 17}, {4, 4, 4}, {9, 7, 7}, DCT3D, ARB3},    // ring wraps on every axis
        {{29, 15, 17}, {4, 4, 4}, {26, 12, 14}, DCT3D, ARB3}, // whole volume
        {{25, 16, 18}, {6, 6, 6}, {20, 8, 9}, six, ARB3},
        {{31, 27, 1}, {8, 8, 1}, {13, 9, 1}, DCT2D, ARB3},
        {{31, 27, 1}, {8, 8, 1}, {13, 9, 1}, DCT2D, DCT2D_TAGS}, // fast paths: per block
        {{16, 11, 9}, {5, 3, 2}, {6, 5, 4}, {m5.data(), m3.data(), m2.data()}, ARB3},
        {{10, 12, 12}, {4, 4, 4}, {5, 6, 6}, DCT3D, ARB3}, // seven origins per row
    };
    vexa_fixtures::onEveryPath([&] {
        for (const Case& k : cases) {
            SCOPED_TRACE(testing::Message() << "block " << k.block.x << "x" << k.block.y << "x"
                                            << k.block.z << " capacity " << k.capacity.x << ","
                                            << k.capacity.y << "," << k.capacity.z);
            Volume v(k.image, 17);
            TestTemp t(k.block.volume());
            const Vec3<int> maxPos = k.image - k.block;
            BlockCollection<float> c;
            ASSERT_TRUE(c.allocateRing(k.capacity, k.block));
            std::fill(c.data, c.data + c.blockCount * c.totalBlockSize, -7.0f);
            std::vector<std::vector<float>> expected;
            for (int z = 0; z <= maxPos.z; ++z)
                for (int y = 0; y <= maxPos.y; ++y)
                    for (int x = 0; x <= maxPos.x; ++x) {
                        std::vector<float> raw(k.block.volume());
                        for (int bz = 0; bz < k.block.z; ++bz)
                            for (int by = 0; by < k.block.y; ++by)
                                for (int bx = 0; bx < k.block.x; ++bx)
                                    raw[bx + k.block.x * (by + k.block.y * bz)] =
                                        v.samples[(x + bx) +
                                                  k.image.x * ((y + by) + k.image.y * (z + bz))];
                        expected.push_back(runTransf3D(raw, k.m, k.tags, k.block));
                    }
            std::mt19937 gen(5);
            Vec3<int> centre{0, 0, 0};
            for (int step = 0; step < 60; ++step) {
                Vec3<int> need[2], slack;
                for (int a = 0; a < 3; ++a) {
                    const int top = component(maxPos, a), cap = component(k.capacity, a);
                    const int jump = static_cast<int>(gen() % 10) == 0;
                    int p = jump ? static_cast<int>(gen() % (top + 1))
                                 : component(centre, a) + static_cast<int>(gen() % 5) - 1;
                    p = std::min(std::max(p, 0), top);
                    componentRef(centre, a) = p;
                    const int width = static_cast<int>(gen() % std::min(cap, top + 1));
                    componentRef(need[0], a) = std::max(0, std::min(p, top - width));
                    componentRef(need[1], a) = component(need[0], a) + width;
                    // The callers' rings have room for the need and the slack.
                    componentRef(slack, a) = std::min(static_cast<int>(gen() % 3), cap - 1 - width);
                }
                c.coverWindow(v.view, need[0], need[1], slack, maxPos, k.block, k.m, k.tags,
                              t.temp);
                const Vec3<int> s = c._bufferStart;
                const Vec3<int> room = s + k.capacity - need[1];
                ASSERT_TRUE(need[0] >= s && room >= 1) << "step " << step;
                for (int z = s.z; z < s.z + k.capacity.z && z <= maxPos.z; ++z)
                    for (int y = s.y; y < s.y + k.capacity.y && y <= maxPos.y; ++y)
                        for (int x = s.x; x < s.x + k.capacity.x && x <= maxPos.x; ++x) {
                            const auto& e = expected[x + (maxPos.x + 1) * (y + (maxPos.y + 1) * z)];
                            const float* got = c.getBlock({x, y, z});
                            ASSERT_EQ(std::vector<float>(got, got + e.size()), e)
                                << "step " << step << " origin " << x << "," << y << "," << z;
                        }
            }
        }
    });
}

TEST(BlockCollection, ExtractBlockAtTheCornerOfAFlatImage) {
    Volume v({21, 13, 1}, 7);
    TestTemp t(64);
    std::vector<float> out(64);
    // The z matrix is never read for a flat block.
    v.view.extractBlock({13, 5, 0}, {8, 8, 1}, {DCT_8_FWD, DCT_8_FWD, nullptr}, out.data(), t.temp);
    EXPECT_LT(maxAbsDiff(out.data(), directBlock(v, {13, 5, 0}, {8, 8, 1}, DCT2D)), 1e-5f);
    TempMemory<float> none;
    EXPECT_EQ(failureText([&] {
                  v.view.extractBlock({0, 0, 0}, {8, 8, 1}, DCT2D, out.data(), none);
              }),
              "temp.blockScratchA != nullptr && temp.blockScratchB != nullptr");
}

TEST(MoveCollections, WholeVolumeBoxNeverMoves) {
    Volume v({16, 16, 16}, 8);
    TestTemp t(64);
    const Vec3<int> radius{17, 17, 17};
    BlockCollection<float> c;
    EXPECT_EQ(failureText([&] {
                  moveCollections<HT, float>({0, 0, 0}, {0, 0, 4}, radius, {4, 4, 4}, DCT3D, t.temp,
                                             v.view, nullptr, ARB3, &c, nullptr);
              }),
              "collHTWie->getHasData()");
    ASSERT_TRUE(c.extractInitial(v.view, {0, 0, 0}, {4, 4, 4}, DCT3D, ARB3, true, t.temp, radius));
    const std::vector<float> before(c.data, c.data + c.blockCount * c.totalBlockSize);
    moveCollections<HT, float>({8, 8, 8}, {0, 0, 4}, radius, {4, 4, 4}, DCT3D, t.temp, v.view,
                               nullptr, ARB3, &c, nullptr);
    EXPECT_EQ(c._bufferStart, (Vec3<int>{0, 0, 0}));
    EXPECT_EQ(std::vector<float>(c.data, c.data + c.blockCount * c.totalBlockSize), before);
}

namespace {

// Replays the walk of the per-slice worker over one run of grid lines and, for
// every reference it filters, checks that each origin of the search window is
// in the box and holds the transform of its own block.
struct WalkCase {
    Vec3<int> image, block, step, searchRadius;
    bool split[3];
    std::vector<int> shifts[3]; // shift tables for x, y, z (empty: none)
    int jobs;
    bool passReference = false; // position moves get the shifted reference, not the grid point
};

void checkWalk(const WalkCase& w, StageName stage) {
    SCOPED_TRACE(testing::Message()
                 << "image " << w.image.x << "x" << w.image.y << "x" << w.image.z << " step "
                 << w.step.x << "," << w.step.y << "," << w.step.z << " r " << w.searchRadius.x
                 << "," << w.searchRadius.y << "," << w.searchRadius.z << " split " << w.split[0]
                 << w.split[1] << w.split[2] << " jobs " << w.jobs << " stage " << stage);
    const Vec3<int>& size = w.image;
    const Vec3<int>& b = w.block;
    Volume noisy(size, 100), pilot(size, 200);
    const Vec3<const float*> m{b.x == 8 ? DCT_8_FWD : DCT_4_FWD, b.y == 8 ? DCT_8_FWD : DCT_4_FWD,
                               b.z == 4 ? DCT_4_FWD : ONE};
    const Vec3<int> maxPos{size.x - b.x, size.y - b.y, size.z - b.z};
    const Vec3<int> extract{w.split[0] ? w.searchRadius.x : size.x,
                            w.split[1] ? w.searchRadius.y : size.y,
                            w.split[2] ? w.searchRadius.z : size.z};
    const Vec3<int> boxRadius = extract + Vec3<int>{1, 1, 1};
    const bool is3D = size.z > 1;
    const int sliceCount = is3D ? size.z : size.y;
    const int sliceStep = is3D ? w.step.z : w.step.y;
    const Vec3<int> sliceMove = is3D ? Vec3<int>{0, 0, w.step.z} : Vec3<int>{0, w.step.y, 0};

    // Coefficient 0 and the last coefficient of every block, for both volumes.
    const int bf = b.volume();
    auto probe = [&](const Volume& v, const Vec3<int>& p) {
        const auto blk = directBlock(v, p, b, m);
        return std::make_pair(blk[0], blk[bf - 1]);
    };
    std::vector<std::pair<float, float>> expectNoisy, expectPilot;
    for (int z = 0; z <= maxPos.z; ++z)
        for (int y = 0; y <= maxPos.y; ++y)
            for (int x = 0; x <= maxPos.x; ++x) {
                expectNoisy.push_back(probe(noisy, {x, y, z}));
                expectPilot.push_back(probe(pilot, {x, y, z}));
            }
    auto expectedIndex = [&](const Vec3<int>& p) {
        return p.x + (maxPos.x + 1) * (p.y + (maxPos.y + 1) * p.z);
    };
    auto shiftOf = [&](int axis, int grid) {
        const auto& t = w.shifts[axis];
        return t.empty() ? 0 : t[grid % t.size()];
    };

    const int q = (sliceCount + sliceStep) / sliceStep, rem = (sliceCount + sliceStep) % sliceStep;
    const int n = q + 1 - (rem == 0 ? 1 : 0);
    const int L = static_cast<int>(std::ceil(static_cast<float>(n) / w.jobs));
    TestTemp t(bf);
    long checkedReferences = 0;
    for (int job = 0; job < w.jobs; ++job) {
        BlockCollection<float> coll, collPilot;
        ASSERT_NE(coll.allocate(size, b, boxRadius), nullptr);
        ASSERT_NE(collPilot.allocate(size, b, boxRadius), nullptr);
        auto move = [&](const Vec3<int>& pos, const Vec3<int>& mv) {
            const std::string err = failureText([&] {
                if (stage == HT)
                    moveCollections<HT, float>(pos, mv, boxRadius, b, m, t.temp, noisy.view,
                                               nullptr, ARB3, &coll, nullptr);
                else
                    moveCollections<Wie, float>(pos, mv, boxRadius, b, m, t.temp, noisy.view,
                                                &pilot.view, ARB3, &coll, &collPilot);
            });
            ASSERT_EQ(err, "") << "move at " << pos.x << "," << pos.y << "," << pos.z << " by "
                               << mv.x << "," << mv.y << "," << mv.z;
        };
        auto visit = [&](int x, int y, int z) {
            const int gx = x / w.step.x, gy = y / w.step.y, gz = z / w.step.z;
            int rx = std::max(x - shiftOf(0, gz), 0), ry = std::max(y - shiftOf(1, gx), 0),
                rz = std::max(z - shiftOf(2, gy), 0);
            if (!(rx < maxPos.x + w.step.x && ry < maxPos.y + w.step.y && rz < maxPos.z + w.step.z))
                return;
            rx = std::min(rx, maxPos.x);
            ry = std::min(ry, maxPos.y);
            rz = std::min(rz, maxPos.z);
            move(w.passReference ? Vec3<int>{rx, ry, rz} : Vec3<int>{x, y, z}, {w.step.x, 0, 0});
            if (testing::Test::HasFatalFailure()) return;
            const Vec3<int> ref{rx, ry, rz};
            const Vec3<int> lo{std::max(ref.x - w.searchRadius.x, 0),
                               std::max(ref.y - w.searchRadius.y, 0),
                               std::max(ref.z - w.searchRadius.z, 0)};
            const Vec3<int> hi{std::min(ref.x + w.searchRadius.x, maxPos.x),
                               std::min(ref.y + w.searchRadius.y, maxPos.y),
                               std::min(ref.z + w.searchRadius.z, maxPos.z)};
            for (int cz = lo.z; cz <= hi.z; ++cz)
                for (int cy = lo.y; cy <= hi.y; ++cy)
                    for (int cx = lo.x; cx <= hi.x; ++cx) {
                        const Vec3<int> c{cx, cy, cz};
                        const float* blk = nullptr;
                        try {
                            blk = coll.getBlock(c);
                        } catch (const CheckFailure& f) {
                            FAIL() << f.text << ": reference " << rx << "," << ry << "," << rz
                                   << " origin " << cx << "," << cy << "," << cz << " box start "
                                   << coll._bufferStart.x << "," << coll._bufferStart.y << ","
                                   << coll._bufferStart.z;
                        }
                        const auto& e = expectNoisy[expectedIndex(c)];
                        ASSERT_EQ(blk[0], e.first) << cx << "," << cy << "," << cz;
                        ASSERT_EQ(blk[bf - 1], e.second) << cx << "," << cy << "," << cz;
                        if (stage == Wie) {
                            const float* pb = collPilot.getBlock(c);
                            const auto& ep = expectPilot[expectedIndex(c)];
                            ASSERT_EQ(pb[0], ep.first);
                            ASSERT_EQ(pb[bf - 1], ep.second);
                        }
                    }
            ++checkedReferences;
        };
        for (int i = job * L; i < std::min(job * L + L, n); ++i) {
            const int p = sliceStep * i;
            move(is3D ? Vec3<int>{0, 0, std::min(p, maxPos.z)} : Vec3<int>{0, p, 0}, sliceMove);
            if (testing::Test::HasFatalFailure()) return;
            if (is3D) {
                for (int y = 0; y < size.y + w.step.y; y += w.step.y) {
                    move({0, y, p}, {0, w.step.y, 0});
                    if (testing::Test::HasFatalFailure()) return;
                    for (int x = 0; x < size.x + w.step.x; x += w.step.x) {
                        visit(x, y, p);
                        if (testing::Test::HasFatalFailure()) return;
                    }
                }
            } else {
                for (int x = 0; x < size.x + w.step.x; x += w.step.x) {
                    visit(x, p, 0);
                    if (testing::Test::HasFatalFailure()) return;
                }
            }
        }
    }
    EXPECT_GT(checkedReferences, 0);
}

} // namespace

TEST(MoveCollections, BoxCoversEverySearchWindowAlongAWindowedCutAxis) {
    // The configurations of the known fault (r = 11 with steps 5, 7, 8) and a sweep around them.
    for (int r : {1, 2, 5, 8, 11})
        for (int s : {1, 2, 3, 4, 5, 7, 8}) {
            WalkCase w{{9, 10, 48}, {4, 4, 4}, {3, 3, s}, {2, 2, r}, {false, false, true}, {}, 1};
            checkWalk(w, HT);
            if (HasFatalFailure()) return;
            w.jobs = 3;
            w.shifts[2] = {0, 2, 1};
            checkWalk(w, HT);
            if (HasFatalFailure()) return;
        }
}

TEST(MoveCollections, BoxCoversEverySearchWindowOnWindowedRowsAndColumns) {
    for (int r : {1, 3, 6, 11})
        for (int s : {2, 3, 4, 5, 7, 8}) {
            for (auto split : {std::make_tuple(true, false), std::make_tuple(false, true),
                               std::make_tuple(true, true)}) {
                WalkCase w{{43, 38, 1},
                           {8, 8, 1},
                           {s, s, 1},
                           {r, r, 0},
                           {std::get<0>(split), std::get<1>(split), false},
                           {},
                           2};
                checkWalk(w, HT);
                if (HasFatalFailure()) return;
                w.shifts[0] = {2, 0, 1};
                w.shifts[1] = {1, 2};
                checkWalk(w, Wie);
                if (HasFatalFailure()) return;
            }
        }
}

TEST(MoveCollections, BoxCoversEverySearchWindowWithSeveralWindowedAxesOfAVolume) {
    for (int r : {3, 11})
        for (int s : {3, 5, 8}) {
            WalkCase w{{22, 26, 28},
                       {4, 4, 4},
                       {s, s, s},
                       {2, r, r},
                       {false, true, true},
                       {{1, 0}, {0, 2, 1}, {2}},
                       2};
            checkWalk(w, Wie);
            if (HasFatalFailure()) return;
            w.split[0] = true;
            checkWalk(w, HT);
            if (HasFatalFailure()) return;
        }
}

TEST(MoveCollections, LargeOrNegativeShiftsAreCoveredWhenTheReferenceIsPassed) {
    for (int r : {2, 7})
        for (int s : {3, 8}) {
            WalkCase w2d{{43, 38, 1},          {8, 8, 1}, {s, s, 1}, {r, r, 0}, {true, true, false},
                         {{0, 5, -3}, {9, 0}}, 2,         true};
            checkWalk(w2d, Wie);
            if (HasFatalFailure()) return;
            WalkCase w3d{{20, 22, 30},
                         {4, 4, 4},
                         {s, s, s},
                         {2, 2, r},
                         {false, false, true},
                         {{0, 6}, {4, -2, 0}, {7, 0, -5}},
                         2,
                         true};
            checkWalk(w3d, HT);
            if (HasFatalFailure()) return;
        }
}

TEST(BlockCollection, FailedTransformScratchLeavesNoData) {
    Volume v({12, 12, 12}, 9);
    TestTemp t(64);
    BlockCollection<float> c;
    ASSERT_NE(c.allocate({12, 12, 12}, {4, 4, 4}, {1, 1, 1}), nullptr);
    // Block scratch is the only allocation of 4 * 64 bytes.
    setAllocationFailureHook([](std::size_t bytes) { return bytes == 256; });
    const bool ok =
        c.extractInitial(v.view, {4, 4, 4}, {4, 4, 4}, DCT3D, ARB3, false, t.temp, {1, 1, 1});
    EXPECT_FALSE(ok);
    EXPECT_FALSE(c.getHasData());
    // A job's move then reports the shortage instead of matching on raw samples.
    testing::internal::CaptureStderr();
    const std::string err = failureText([&] {
        moveCollections<HT, float>({4, 4, 4}, {4, 0, 0}, {1, 1, 1}, {4, 4, 4}, DCT3D, t.temp,
                                   v.view, nullptr, ARB3, &c, nullptr);
    });
    setAllocationFailureHook(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to allocate block memory\n");
    EXPECT_EQ(err, "collHTWie->getHasData()");
}

TEST(BlockCollection, EverySlotIsTransformedPastTwoToTheTwentyFour) {
    // 4097^2 one-sample blocks: a float-rounded chunk size would drop the last slot.
    const Vec3<int> size{4097, 4097, 1};
    std::vector<float> samples(static_cast<std::size_t>(size.volume()), 1.0f);
    samples.back() = 3.0f;
    const ImageData<float> image(samples.data(), size);
    const float two[1] = {2.0f};
    TestTemp t(1);
    BlockCollection<float> c;
    ASSERT_TRUE(c.extractInitial(image, {0, 0, 0}, {1, 1, 1}, {two, two, two}, ARB3, true, t.temp,
                                 {4098, 4098, 2}));
    ASSERT_EQ(c.blockCount, 4097L * 4097L);
    // x and y scale by 2 each; z is never applied to a flat block.
    EXPECT_EQ(*c.getBlock({4096, 4096, 0}), 12.0f);
    EXPECT_EQ(*c.getBlock({4095, 4096, 0}), 4.0f);
    EXPECT_EQ(*c.getBlock({0, 0, 0}), 4.0f);
}

// ========== group-dimension transforms

namespace {

// n member blocks of c random coefficients and their group records.
struct Group {
    std::vector<std::vector<float>> blocks;
    std::vector<BlockDistance<float>> records;
    Group(int n, int c, std::mt19937& rng) : blocks(n), records(n) {
        std::uniform_real_distribution<float> u(-3.0f, 3.0f);
        for (int k = 0; k < n; ++k) {
            for (int i = 0; i < c; ++i) blocks[k].push_back(u(rng));
            records[k].block = blocks[k].data();
            records[k].position = {k, 0, 0};
        }
    }
};

// A cube over its own buffer, layers beyond those used filled with a marker.
struct OwnedCube {
    std::vector<float> buffer;
    Cube4D<float> cube;
    OwnedCube(const Vec3<int>& size, int layers, float marker = 1234.5f)
        : buffer(static_cast<std::size_t>(size.volume()) * layers, marker) {
        cube.size = {size.x, size.y, size.z, layers};
        cube.data = buffer.data();
    }
};

StandardTransform tag(int v) {
    return static_cast<StandardTransform>(v);
}

// The kinds identification gives the built-in group tables (15 for length 1).
StandardTransform builtInKind(int n) {
    switch (n) {
    case 2:
        return TransformsMetas::NL_HAAR2;
    case 4:
        return TransformsMetas::BIOR4;
    case 8:
        return TransformsMetas::HAAR8;
    case 16:
        return TransformsMetas::NL_HAAR16;
    case 32:
        return TransformsMetas::NL_HAAR32;
    default:
        return TransformsMetas::ARBITRARY;
    }
}

const float* forwardTable(int n) {
    return n == 1 ? GROUP_IDENTITY_1 : HAAR_NL_FWD[n];
}
const float* inverseTable(int n) {
    return n == 1 ? GROUP_IDENTITY_1 : HAAR_NL_INV[n];
}

void expectNear(const float* a, const float* b, int count, float tol, const char* what) {
    for (int i = 0; i < count; ++i) ASSERT_NEAR(a[i], b[i], tol) << what << " at " << i;
}

} // namespace

TEST(GroupTransform, ForwardThenInverseRestoresTheBlocks) {
    std::mt19937 rng(1);
    const Vec3<int> sizes[] = {{4, 4, 4}, {8, 8, 1}, {3, 2, 1}};
    for (const Vec3<int>& bs : sizes) {
        const int c = bs.volume();
        for (int n : {1, 2, 4, 8, 16, 32}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " c " << c);
            // Built-in kinds, and the fast Haar tags for every length they name.
            std::vector<StandardTransform> kinds = {builtInKind(n)};
            if (n >= 4)
                kinds.push_back(tag(TransformsMetas::NL_HAAR4 + (n == 4    ? 0
                                                                 : n == 8  ? 1
                                                                 : n == 16 ? 2
                                                                           : 3)));
            for (StandardTransform kind : kinds) {
                Group g(n, c, rng);
                OwnedCube spectrum(bs, 32), restored(bs, 32);
                transformBlocksNL(g.records.data(), n, forwardTable(n), kind, spectrum.cube, bs);
                transformBlocksNL(spectrum.cube, n, inverseTable(n),
                                  TransformsMetas::inverseOf(kind), restored.cube, bs);
                // 0.7071 squared twice is 0.99998: the 2-point pair restores to 2e-5 relative.
                const float tol = n == 2 ? 1e-4f : 2e-5f * n;
                for (int k = 0; k < n; ++k)
                    expectNear(restored.buffer.data() + c * k, g.blocks[k].data(), c, tol,
                               "restored");
                // Layers past the group are left alone.
                for (std::size_t i = static_cast<std::size_t>(c) * n; i < spectrum.buffer.size();
                     ++i) {
                    ASSERT_EQ(spectrum.buffer[i], 1234.5f);
                    ASSERT_EQ(restored.buffer[i], 1234.5f);
                }
            }
        }
    }
}

TEST(GroupTransform, FastHaarEqualsTheMatrixProduct) {
    std::mt19937 rng(2);
    const Vec3<int> bs{4, 4, 4};
    const int c = bs.volume();
    for (int level = 0; level < 4; ++level) {
        const int n = 4 << level;
        SCOPED_TRACE(n);
        Group g(n, c, rng);
        OwnedCube fast(bs, n), plain(bs, n), fastInv(bs, n), plainInv(bs, n), fromCube(bs, n);

        transformBlocksNL(g.records.data(), n, HAAR_NL_FWD[n],
                          tag(TransformsMetas::NL_HAAR4 + level), fast.cube, bs);
        transformBlocksNLReference(g.records.data(), n, HAAR_NL_FWD[n], plain.cube, bs);
        expectNear(fast.buffer.data(), plain.buffer.data(), n * c, 1e-5f * n, "forward");

        // The cube form's forward fast path agrees as well.
        OwnedCube stack(bs, n);
        for (int k = 0; k < n; ++k)
            for (int i = 0; i < c; ++i) stack.buffer[c * k + i] = g.blocks[k][i];
        transformBlocksNL(stack.cube, n, HAAR_NL_FWD[n], tag(TransformsMetas::NL_HAAR4 + level),
                          fromCube.cube, bs);
        expectNear(fromCube.buffer.data(), plain.buffer.data(), n * c, 1e-5f * n, "cube forward");

        transformBlocksNL(plain.cube, n, HAAR_NL_INV[n], tag(TransformsMetas::NL_HAAR4_INV + level),
                          fastInv.cube, bs);
        transformBlocksNLReference(plain.cube, n, HAAR_NL_INV[n], plainInv.cube, bs);
        expectNear(fastInv.buffer.data(), plainInv.buffer.data(), n * c, 1e-5f * n, "inverse");
    }
}

TEST(GroupTransform, VectorisedProductEqualsThePlainOne) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const Vec3<int> sizes[] = {{4, 4, 4}, {5, 3, 1}, {1, 1, 1}};
    for (const Vec3<int>& bs : sizes)
        for (int n : {1, 2, 3, 5, 8, 13}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " c " << bs.volume());
            const int c = bs.volume();
            std::vector<float> m(n * n);
            for (float& v : m) v = u(rng);
            Group g(n, c, rng);
            OwnedCube a(bs, n), b(bs, n), ai(bs, n), bi(bs, n);
            transformBlocksNL(g.records.data(), n, m.data(), TransformsMetas::ARBITRARY, a.cube,
                              bs);
            transformBlocksNLReference(g.records.data(), n, m.data(), b.cube, bs);
            expectNear(a.buffer.data(), b.buffer.data(), n * c, 1e-6f, "from group");
            transformBlocksNL(a.cube, n, m.data(), TransformsMetas::ARBITRARY_INV, ai.cube, bs);
            transformBlocksNLReference(a.cube, n, m.data(), bi.cube, bs);
            expectNear(ai.buffer.data(), bi.buffer.data(), n * c, 1e-5f, "between cubes");
            // Spot check of one element against the definition.
            const int i = c - 1, j = n - 1;
            float s = m[j * n] * g.blocks[0][i];
            for (int k = 1; k < n; ++k) s += m[j * n + k] * g.blocks[k][i];
            EXPECT_NEAR(b.buffer[i + c * j], s, 1e-6f);
        }
}

TEST(GroupTransform, TwoPointHaarUsesTheFourDigitConstant) {
    EXPECT_EQ(HAAR_2_FWD[0], 0.7071f);
    const Vec3<int> bs{2, 1, 1};
    std::vector<float> a = {1.5f, -2.0f}, b = {0.25f, 3.0f};
    std::vector<BlockDistance<float>> rec(2);
    rec[0].block = a.data();
    rec[1].block = b.data();
    OwnedCube out(bs, 2);
    transformBlocksNL(rec.data(), 2, HAAR_NL_FWD[2], TransformsMetas::NL_HAAR2, out.cube, bs);
    const float h = 0.7071f;
    for (int i = 0; i < 2; ++i) {
        EXPECT_FLOAT_EQ(out.buffer[i], h * a[i] + h * b[i]);
        EXPECT_FLOAT_EQ(out.buffer[2 + i], h * a[i] - h * b[i]);
    }
}

TEST(GroupTransform, SixteenEqualBlocksGiveFourTimesTheBlockInLayerZero) {
    const Vec3<int> bs{4, 4, 4};
    const int c = bs.volume();
    std::vector<float> block(c);
    for (int i = 0; i < c; ++i) block[i] = 0.5f * i - 7.0f;
    std::vector<BlockDistance<float>> rec(16);
    for (auto& r : rec) r.block = block.data();
    for (StandardTransform kind : {TransformsMetas::NL_HAAR16, TransformsMetas::ARBITRARY}) {
        OwnedCube out(bs, 16);
        transformBlocksNL(rec.data(), 16, HAAR_NL_FWD[16], kind, out.cube, bs);
        for (int i = 0; i < c; ++i) EXPECT_NEAR(out.buffer[i], 4.0f * block[i], 1e-4f) << i;
        for (int i = c; i < 16 * c; ++i) EXPECT_NEAR(out.buffer[i], 0.0f, 1e-5f) << i;
    }
}

TEST(GroupTransform, CubesAreAddressedWithTheStrideOfTheBlockSize) {
    std::mt19937 rng(4);
    const Vec3<int> bs{2, 2, 2};
    const int c = 8, n = 4;
    Group g(n, c, rng);
    // Cubes with room for much larger blocks: only the first n * c floats count.
    OwnedCube wide(Vec3<int>{8, 8, 8}, 4), wideInv(Vec3<int>{8, 8, 8}, 4);
    transformBlocksNL(g.records.data(), n, HAAR_NL_FWD[n], TransformsMetas::BIOR4, wide.cube, bs);
    OwnedCube tight(bs, n);
    transformBlocksNLReference(g.records.data(), n, HAAR_NL_FWD[n], tight.cube, bs);
    expectNear(wide.buffer.data(), tight.buffer.data(), n * c, 1e-6f, "wide forward");
    for (std::size_t i = n * c; i < wide.buffer.size(); ++i) ASSERT_EQ(wide.buffer[i], 1234.5f);

    transformBlocksNL(wide.cube, n, HAAR_NL_INV[n], TransformsMetas::NL_HAAR4_INV, wideInv.cube,
                      bs);
    for (int k = 0; k < n; ++k)
        expectNear(wideInv.buffer.data() + c * k, g.blocks[k].data(), c, 1e-5f, "wide inverse");
    for (std::size_t i = n * c; i < wideInv.buffer.size(); ++i)
        ASSERT_EQ(wideInv.buffer[i], 1234.5f);
}

TEST(GroupTransform, GroupOfOneBlock) {
    EXPECT_EQ(GROUP_IDENTITY_1[0], 1.0f);
    std::mt19937 rng(5);
    const Vec3<int> bs{4, 4, 4};
    Group g(1, 64, rng);
    for (const float* m : {GROUP_IDENTITY_1, static_cast<const float*>(nullptr)}) {
        OwnedCube out(bs, 2), back(bs, 2);
        transformBlocksNL(g.records.data(), 1, m, TransformsMetas::ARBITRARY, out.cube, bs);
        expectNear(out.buffer.data(), g.blocks[0].data(), 64, 0.0f, "forward");
        transformBlocksNL(out.cube, 1, m, TransformsMetas::ARBITRARY_INV, back.cube, bs);
        expectNear(back.buffer.data(), g.blocks[0].data(), 64, 0.0f, "inverse");
        EXPECT_EQ(out.buffer[64], 1234.5f);
        EXPECT_EQ(back.buffer[64], 1234.5f);
    }
}

TEST(GroupTransform, TagsOfAnotherLengthAndMissingMatrices) {
    std::mt19937 rng(6);
    const Vec3<int> bs{2, 2, 1};
    const int c = 4;
    Group g(8, c, rng);
    // The 16-point tag with a group of 8 falls back to the product with the matrix given.
    OwnedCube a(bs, 8), b(bs, 8);
    transformBlocksNL(g.records.data(), 8, HAAR_NL_FWD[8], TransformsMetas::NL_HAAR16, a.cube, bs);
    transformBlocksNLReference(g.records.data(), 8, HAAR_NL_FWD[8], b.cube, bs);
    expectNear(a.buffer.data(), b.buffer.data(), 8 * c, 1e-6f, "mismatched tag");

    EXPECT_THROW(transformBlocksNL(g.records.data(), 8, static_cast<const float*>(nullptr),
                                   TransformsMetas::ARBITRARY, a.cube, bs),
                 CheckFailure);
    EXPECT_THROW(transformBlocksNL(a.cube, 8, static_cast<const float*>(nullptr),
                                   TransformsMetas::ARBITRARY_INV, b.cube, bs),
                 CheckFailure);
    // in and out must be distinct buffers.
    EXPECT_THROW(
        transformBlocksNL(a.cube, 8, HAAR_NL_INV[8], TransformsMetas::HAAR8_INV, a.cube, bs),
        CheckFailure);
}

TEST(BlockCollection, SizeLimitOfALongIsCheckedBeforeAllocation) {
    // blockCount and totalBlockSize are longs: 32 bits on Windows, where a
    // collection is limited to 2^31 - 1 floats. A larger box must be refused
    // before the allocator is asked, with the usual advice; where long has 64
    // bits the same box reaches the allocator (made to fail here).
    const std::string advice =
        "Failed to allocate block memory! \n"
        "If profile.split_block_extraction is set to [False, False, False], this is likely "
        "fixed by \nsetting the value to [False, False, True] or, if still failing, [False, "
        "True, True]. \npro = VEXAProfile(); pro.split_block_extraction = [False, False, "
        "True]; y_est = vexa(z, psd, pro);\n";
    std::vector<std::size_t> asked;
    setAllocationFailureHook([&](std::size_t bytes) {
        asked.push_back(bytes);
        return true;
    });
    BlockCollection<float> c;

    // 5800^2 origins of 8x8x1 blocks: 2,152,960,000 floats, just over 2^31 - 1.
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.allocate({5807, 5807, 1}, {8, 8, 1}, {6000, 6000, 1}), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, advice);
    EXPECT_EQ(c.data, nullptr);
    if (sizeof(long) == 4)
        EXPECT_TRUE(asked.empty()) << "allocator asked for " << asked.front() << " bytes";
    else
        EXPECT_EQ(asked, std::vector<std::size_t>{2152960000ULL * sizeof(float)});

    // The largest whole number of 64-float blocks under the limit reaches the
    // allocator on every platform.
    asked.clear();
    long total = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.allocate(33554431L, 64L, total), nullptr);
    err = testing::internal::GetCapturedStderr();
    setAllocationFailureHook(nullptr);
    EXPECT_EQ(err, advice);
    EXPECT_EQ(total, 33554431L * 64L);
    EXPECT_EQ(asked, std::vector<std::size_t>{33554431ULL * 64ULL * sizeof(float)});
}
