// Every built-in matrix, window and transform set of the library. They live
// in this one translation unit so that the sets, which hold pointers to the
// tables, are constant-initialised and complete before any code runs.
#include <cstddef>

#include "transforms/transform_tables.h"

namespace vexa {

namespace {

// 1/sqrt(2^k) in double precision; rounded once to float by the caller.
constexpr double invSqrtPow2(int k) {
    double r = 1.0;
    for (int i = 0; i < k / 2; ++i) r *= 0.5;
    if (k % 2 != 0) r *= 0.70710678118654752440;
    return r;
}

constexpr int log2Exact(int n) {
    int k = 0;
    while ((1 << k) < n) ++k;
    return k;
}

// Orthonormal multi-level Haar matrix of size N and its transpose.
template <int N>
struct HaarPair {
    float fwd[N * N];
    float inv[N * N];
};

template <int N>
constexpr HaarPair<N> makeHaar() {
    HaarPair<N> h{};
    const int levels = log2Exact(N);
    const float dc = static_cast<float>(invSqrtPow2(levels));
    for (int c = 0; c < N; ++c) h.fwd[c] = dc;
    for (int l = 0; l < levels; ++l) {
        const int segment = N >> l;
        const float v = static_cast<float>(invSqrtPow2(levels - l));
        for (int j = 0; j < (1 << l); ++j) {
            const int row = (1 << l) + j;
            for (int c = 0; c < segment; ++c)
                h.fwd[row * N + j * segment + c] = c < segment / 2 ? v : -v;
        }
    }
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) h.inv[c * N + r] = h.fwd[r * N + c];
    return h;
}

constexpr HaarPair<4> haar4 = makeHaar<4>();
constexpr HaarPair<4> bior4 = makeHaar<4>();
constexpr HaarPair<8> haar8 = makeHaar<8>();
constexpr HaarPair<16> haar16 = makeHaar<16>();
constexpr HaarPair<32> haar32 = makeHaar<32>();
constexpr HaarPair<64> haar64 = makeHaar<64>();

static_assert(haar4.fwd[0] == 0.5f && haar4.fwd[4] == 0.5f && haar4.fwd[15] == -0.70710677f,
              "4-point Haar rows");
static_assert(haar8.fwd[8 * 7 + 7] == -0.70710677f && haar8.inv[3 * 8 + 2] == -0.5f,
              "8-point Haar detail rows and transpose");

} // namespace

const float (&HAAR_4_FWD)[16] = haar4.fwd;
const float (&HAAR_4_INV)[16] = haar4.inv;
const float (&HAAR_8_FWD)[64] = haar8.fwd;
const float (&HAAR_8_INV)[64] = haar8.inv;
const float (&HAAR_16_FWD)[256] = haar16.fwd;
const float (&HAAR_16_INV)[256] = haar16.inv;
const float (&HAAR_32_FWD)[1024] = haar32.fwd;
const float (&HAAR_32_INV)[1024] = haar32.inv;
const float (&HAAR_64_FWD)[4096] = haar64.fwd;
const float (&HAAR_64_INV)[4096] = haar64.inv;
const float (&BIOR_4_FWD)[16] = bior4.fwd;
const float (&BIOR_4_INV)[16] = bior4.inv;

// The group pair transform keeps the rounded 0.7071 that hosts were tuned with.
const float HAAR_2_FWD[4] = {0.7071f, 0.7071f, 0.7071f, -0.7071f};
const float HAAR_2_INV[4] = {0.7071f, 0.7071f, 0.7071f, -0.7071f};

const float SIZE_2_TRANSFORM[4] = {0.70710677f, 0.70710677f, 0.70710677f, -0.70710677f};
const float ONE[1] = {1.0f};
const int ZERO[4] = {0, 0, 0, 0};

// clang-format off
// Three-level biorthogonal analysis, each value the float nearest the decimal.
const float BIOR_8_FWD[64] = {
    0.343550205f, 0.343550205f, 0.343550205f, 0.343550205f, 0.343550205f, 0.343550205f, 0.343550205f, 0.343550205f,
    -0.225454822f, -0.461645573f, -0.461645573f, -0.225454822f, 0.225454822f, 0.461645573f, 0.461645573f, 0.225454822f,
    0.569359422f, 0.402347296f, -0.402347296f, -0.569359422f, -0.0835060477f, 0.0835060477f, -0.0835060477f, 0.0835060477f,
    -0.0835060477f, 0.0835060477f, -0.0835060477f, 0.0835060477f, 0.569359422f, 0.402347296f, -0.402347296f, -0.569359422f,
    0.707106769f, -0.707106769f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.707106769f, -0.707106769f, 0.0f, 0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.707106769f, -0.707106769f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.707106769f, -0.707106769f,
};

// DCT matrices, the inverse of BIOR_8_FWD and the Kaiser windows (beta = 2),
// as printed by tools/gen_tables.py (double precision, rounded once to float).
// ---- begin of the block printed by tools/gen_tables.py ----
const float DCT_4_FWD[16] = {
    0.5f, 0.5f, 0.5f, 0.5f,
    0.6532815f, 0.27059805f, -0.27059805f, -0.6532815f,
    0.5f, -0.5f, -0.5f, 0.5f,
    0.27059805f, -0.6532815f, 0.6532815f, -0.27059805f,
};
const float DCT_4_INV[16] = {
    0.5f, 0.6532815f, 0.5f, 0.27059805f,
    0.5f, 0.27059805f, -0.5f, -0.6532815f,
    0.5f, -0.27059805f, -0.5f, 0.6532815f,
    0.5f, -0.6532815f, 0.5f, -0.27059805f,
};
const float DCT_5_FWD[25] = {
    0.4472136f, 0.4472136f, 0.4472136f, 0.4472136f, 0.4472136f,
    0.6015009f, 0.37174803f, 3.8726733e-17f, -0.37174803f, -0.6015009f,
    0.51166725f, -0.1954395f, -0.6324555f, -0.1954395f, 0.51166725f,
    0.37174803f, -0.6015009f, -1.1618019e-16f, 0.6015009f, -0.37174803f,
    0.1954395f, -0.51166725f, 0.6324555f, -0.51166725f, 0.1954395f,
};
const float DCT_5_INV[25] = {
    0.4472136f, 0.6015009f, 0.51166725f, 0.37174803f, 0.1954395f,
    0.4472136f, 0.37174803f, -0.1954395f, -0.6015009f, -0.51166725f,
    0.4472136f, 3.8726733e-17f, -0.6324555f, -1.1618019e-16f, 0.6324555f,
    0.4472136f, -0.37174803f, -0.1954395f, 0.6015009f, -0.51166725f,
    0.4472136f, -0.6015009f, 0.51166725f, -0.37174803f, 0.1954395f,
};
const float DCT_8_FWD[64] = {
    0.35355338f, 0.35355338f, 0.35355338f, 0.35355338f, 0.35355338f, 0.35355338f, 0.35355338f, 0.35355338f,
    0.49039263f, 0.4157348f, 0.27778512f, 0.09754516f, -0.09754516f, -0.27778512f, -0.4157348f, -0.49039263f,
    0.46193975f, 0.19134171f, -0.19134171f, -0.46193975f, -0.46193975f, -0.19134171f, 0.19134171f, 0.46193975f,
    0.4157348f, -0.09754516f, -0.49039263f, -0.27778512f, 0.27778512f, 0.49039263f, 0.09754516f, -0.4157348f,
    0.35355338f, -0.35355338f, -0.35355338f, 0.35355338f, 0.35355338f, -0.35355338f, -0.35355338f, 0.35355338f,
    0.27778512f, -0.49039263f, 0.09754516f, 0.4157348f, -0.4157348f, -0.09754516f, 0.49039263f, -0.27778512f,
    0.19134171f, -0.46193975f, 0.46193975f, -0.19134171f, -0.19134171f, 0.46193975f, -0.46193975f, 0.19134171f,
    0.09754516f, -0.27778512f, 0.4157348f, -0.49039263f, 0.49039263f, -0.4157348f, 0.27778512f, -0.09754516f,
};
const float DCT_8_INV[64] = {
    0.35355338f, 0.49039263f, 0.46193975f, 0.4157348f, 0.35355338f, 0.27778512f, 0.19134171f, 0.09754516f,
    0.35355338f, 0.4157348f, 0.19134171f, -0.09754516f, -0.35355338f, -0.49039263f, -0.46193975f, -0.27778512f,
    0.35355338f, 0.27778512f, -0.19134171f, -0.49039263f, -0.35355338f, 0.09754516f, 0.46193975f, 0.4157348f,
    0.35355338f, 0.09754516f, -0.46193975f, -0.27778512f, 0.35355338f, 0.4157348f, -0.19134171f, -0.49039263f,
    0.35355338f, -0.09754516f, -0.46193975f, 0.27778512f, 0.35355338f, -0.4157348f, -0.19134171f, 0.49039263f,
    0.35355338f, -0.27778512f, -0.19134171f, 0.49039263f, -0.35355338f, -0.09754516f, 0.46193975f, -0.4157348f,
    0.35355338f, -0.4157348f, 0.19134171f, 0.09754516f, -0.35355338f, 0.49039263f, -0.46193975f, 0.27778512f,
    0.35355338f, -0.49039263f, 0.46193975f, -0.4157348f, 0.35355338f, -0.27778512f, 0.19134171f, -0.09754516f,
};
const float BIOR_8_INV[64] = {
    0.36384785f, -0.36384785f, 0.51455855f, -4.9508005e-18f, 0.70710677f, -0.12153399f, 3.701914e-09f, 0.12153398f,
    0.36384785f, -0.36384785f, 0.51455855f, -4.9508005e-18f, -0.7071068f, -0.12153399f, 3.701914e-09f, 0.12153398f,
    0.36384785f, -0.36384785f, -0.51455855f, -4.1142458e-17f, 0.12153399f, 0.7071068f, -0.12153398f, -3.701914e-09f,
    0.36384785f, -0.36384785f, -0.51455855f, 2.1766336e-17f, 0.12153399f, -0.70710677f, -0.12153398f, -3.701914e-09f,
    0.36384785f, 0.36384785f, -9.762648e-18f, 0.51455855f, 3.701914e-09f, 0.12153398f, 0.70710677f, -0.12153399f,
    0.36384785f, 0.36384785f, -9.762648e-18f, 0.51455855f, 3.701914e-09f, 0.12153398f, -0.7071068f, -0.12153399f,
    0.36384785f, 0.36384785f, -2.0101465e-17f, -0.51455855f, -0.12153398f, -3.701914e-09f, 0.12153399f, 0.7071068f,
    0.36384785f, 0.36384785f, -2.0101465e-17f, -0.51455855f, -0.12153398f, -3.701914e-09f, 0.12153399f, -0.70710677f,
};
const float KAISER_8x8[64] = {
    0.19243687f, 0.2988808f, 0.38464886f, 0.43245694f, 0.43245694f, 0.38464886f, 0.2988808f, 0.19243687f,
    0.2988808f, 0.46420276f, 0.5974123f, 0.6716648f, 0.6716648f, 0.5974123f, 0.46420276f, 0.2988808f,
    0.38464886f, 0.5974123f, 0.76884824f, 0.8644085f, 0.8644085f, 0.76884824f, 0.5974123f, 0.38464886f,
    0.43245694f, 0.6716648f, 0.8644085f, 0.971846f, 0.971846f, 0.8644085f, 0.6716648f, 0.43245694f,
    0.43245694f, 0.6716648f, 0.8644085f, 0.971846f, 0.971846f, 0.8644085f, 0.6716648f, 0.43245694f,
    0.38464886f, 0.5974123f, 0.76884824f, 0.8644085f, 0.8644085f, 0.76884824f, 0.5974123f, 0.38464886f,
    0.2988808f, 0.46420276f, 0.5974123f, 0.6716648f, 0.6716648f, 0.5974123f, 0.46420276f, 0.2988808f,
    0.19243687f, 0.2988808f, 0.38464886f, 0.43245694f, 0.43245694f, 0.38464886f, 0.2988808f, 0.19243687f,
};
const float KAISER_4x4x4[64] = {
    0.08441749f, 0.17787208f, 0.17787208f, 0.08441749f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.08441749f, 0.17787208f, 0.17787208f, 0.08441749f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.37478578f, 0.78969324f, 0.78969324f, 0.37478578f,
    0.37478578f, 0.78969324f, 0.78969324f, 0.37478578f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.37478578f, 0.78969324f, 0.78969324f, 0.37478578f,
    0.37478578f, 0.78969324f, 0.78969324f, 0.37478578f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.08441749f, 0.17787208f, 0.17787208f, 0.08441749f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.17787208f, 0.37478578f, 0.37478578f, 0.17787208f,
    0.08441749f, 0.17787208f, 0.17787208f, 0.08441749f,
};
// ---- end of the generated block ----
// clang-format on

const Vec3<TransformsMetas::StandardTransform> ARB_TRANSFORMS = {
    TransformsMetas::ARBITRARY, TransformsMetas::ARBITRARY, TransformsMetas::ARBITRARY};

const float* const standardTransformsList[32] = {
    DCT_4_FWD, BIOR_4_FWD, HAAR_4_FWD, nullptr,    DCT_5_FWD,   DCT_8_FWD,   BIOR_8_FWD, HAAR_8_FWD,
    nullptr,   HAAR_2_FWD, HAAR_4_FWD, HAAR_8_FWD, HAAR_16_FWD, HAAR_32_FWD, nullptr,    nullptr,
    DCT_4_INV, BIOR_4_INV, HAAR_4_INV, nullptr,    DCT_5_INV,   DCT_8_INV,   BIOR_8_INV, HAAR_8_INV,
    nullptr,   HAAR_2_INV, HAAR_4_INV, HAAR_8_INV, HAAR_16_INV, HAAR_32_INV, nullptr,    nullptr,
};

namespace {
// Index = group length: 2, 4, 8, 16, 32 and 64 hold a matrix, the rest are null.
struct GroupTables {
    const float* fwd[65];
    const float* inv[65];
};

constexpr GroupTables makeGroupTables() {
    GroupTables t{};
    const float* const fwd[6] = {HAAR_2_FWD,  HAAR_4_FWD,  HAAR_8_FWD,
                                 HAAR_16_FWD, HAAR_32_FWD, HAAR_64_FWD};
    const float* const inv[6] = {HAAR_2_INV,  HAAR_4_INV,  HAAR_8_INV,
                                 HAAR_16_INV, HAAR_32_INV, HAAR_64_INV};
    for (int l = 0; l < 6; ++l) {
        t.fwd[2 << l] = fwd[l];
        t.inv[2 << l] = inv[l];
    }
    return t;
}

constexpr GroupTables haarGroupTables = makeGroupTables();
} // namespace

const float* const (&HAAR_NL_FWD)[65] = haarGroupTables.fwd;
const float* const (&HAAR_NL_INV)[65] = haarGroupTables.inv;

// The triples are spelled out again inside the sets: copying a const object of
// class type would need dynamic initialisation and an ordering between them.
const Vec3<const float*> DEFAULT_FWD_3D = {DCT_4_FWD, DCT_4_FWD, DCT_4_FWD};
const Vec3<const float*> DEFAULT_INV_3D = {DCT_4_INV, DCT_4_INV, DCT_4_INV};
const Vec3<const float*> BIOR_FWD_2D = {BIOR_8_FWD, BIOR_8_FWD, ONE};
const Vec3<const float*> BIOR_INV_2D = {BIOR_8_INV, BIOR_8_INV, ONE};
const Vec3<const float*> DEFAULT_FWD_2D = {DCT_8_FWD, DCT_8_FWD, ONE};
const Vec3<const float*> DEFAULT_INV_2D = {DCT_8_INV, DCT_8_INV, ONE};

const Transforms<float> DEFAULT_TRANSFORMS_3D = {{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD},
                                                 {DCT_4_INV, DCT_4_INV, DCT_4_INV},
                                                 HAAR_NL_FWD,
                                                 HAAR_NL_INV,
                                                 KAISER_4x4x4};
const Transforms<float> DEFAULT_TRANSFORMS_2D = {{BIOR_8_FWD, BIOR_8_FWD, ONE},
                                                 {BIOR_8_INV, BIOR_8_INV, ONE},
                                                 HAAR_NL_FWD,
                                                 HAAR_NL_INV,
                                                 KAISER_8x8};
const Transforms<float> DEFAULT_TRANSFORMS_2D_WIE = {
    {DCT_8_FWD, DCT_8_FWD, ONE}, {DCT_8_INV, DCT_8_INV, ONE}, HAAR_NL_FWD, HAAR_NL_INV, KAISER_8x8};

} // namespace vexa
