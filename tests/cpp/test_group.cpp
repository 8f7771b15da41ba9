#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "blocks/group_transforms.h"
#include "core/check.h"
#include "interface/transforms.h"

using namespace vexa;
using TransformsMetas::StandardTransform;

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
