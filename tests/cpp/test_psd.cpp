#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "core/allocator.h"
#include "core/check.h"
#include "core/memory.h"
#include "psd/fft.h"
#include "psd/fft64.h"
#include "psd/noise_tables.h"
#include "psd/resize_psd.h"
#include "psd/variances.h"
#include "stage/validation.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"

using namespace vexa;

namespace {

using cd = std::complex<double>;
const double PI = 3.14159265358979323846;

int volume(const Vec3<int>& v) {
    return v.x * v.y * v.z;
}

// Deterministic values in [0, 1).
double pseudo(int i) {
    std::uint32_t s = static_cast<std::uint32_t>(i) * 2654435761u + 12345u;
    s ^= s >> 13;
    s *= 1274126177u;
    s ^= s >> 16;
    return (s & 0xFFFFFF) / double(0x1000000);
}

std::vector<cd> naiveDft(const std::vector<cd>& in) {
    const int n = static_cast<int>(in.size());
    std::vector<cd> out(n);
    for (int k = 0; k < n; ++k) {
        for (int m = 0; m < n; ++m) out[k] += in[m] * std::polar(1.0, -2.0 * PI * k * m / n);
    }
    return out;
}

// Trilinear resampling written independently: position g = S*t/T, floor-based.
std::vector<double> referenceResize(const std::vector<float>& psd, Vec3<int> S, Vec3<int> T) {
    auto axis = [](int t, int s, int len, int& i0, int& i1, double& frac) {
        const double g = double(s) * t / len;
        const int f = static_cast<int>(std::floor(g));
        frac = g - f;
        i0 = std::min(f, s - 1);
        i1 = std::min(f + 1, s - 1);
    };
    const double scale = double(volume(T)) / volume(S);
    std::vector<double> out(volume(T));
    for (int z = 0; z < T.z; ++z) {
        for (int y = 0; y < T.y; ++y) {
            for (int x = 0; x < T.x; ++x) {
                int x0, x1, y0, y1, z0, z1;
                double fx, fy, fz;
                axis(x, S.x, T.x, x0, x1, fx);
                axis(y, S.y, T.y, y0, y1, fy);
                axis(z, S.z, T.z, z0, z1, fz);
                auto at = [&](int a, int b, int c) { return double(psd[a + S.x * (b + S.y * c)]); };
                double v = 0;
                v += (1 - fx) * (1 - fy) * (1 - fz) * at(x0, y0, z0);
                v += fx * (1 - fy) * (1 - fz) * at(x1, y0, z0);
                v += (1 - fx) * fy * (1 - fz) * at(x0, y1, z0);
                v += fx * fy * (1 - fz) * at(x1, y1, z0);
                v += (1 - fx) * (1 - fy) * fz * at(x0, y0, z1);
                v += fx * (1 - fy) * fz * at(x1, y0, z1);
                v += (1 - fx) * fy * fz * at(x0, y1, z1);
                v += fx * fy * fz * at(x1, y1, z1);
                out[x + T.x * (y + T.y * z)] = scale * v;
            }
        }
    }
    return out;
}

// |DFT of every row of an n x n matrix, zero-padded to F points|^2, n*F values.
std::vector<double> rowPowers(const float* m, int n, int F) {
    std::vector<double> out(static_cast<std::size_t>(n) * F);
    for (int i = 0; i < n; ++i) {
        for (int f = 0; f < F; ++f) {
            cd s = 0;
            for (int k = 0; k < n; ++k)
                s += double(m[i * n + k]) * std::polar(1.0, -2.0 * PI * k * f / F);
            out[i * F + f] = std::norm(s);
        }
    }
    return out;
}

// Weight of the x layer fx once the spectrum is folded onto the working width.
double foldWeight(int fx, int Fx, bool fold) {
    if (!fold) return 1.0;
    const int h = Fx % 2 == 0 ? Fx / 2 : (Fx - 1) / 2;
    if (fx == 0 || fx == h) return 1.0;
    return fx < h ? 2.0 : 0.0;
}

struct Reference {
    std::vector<double> localVar;  // |B|
    std::vector<double> variances; // |B| * N, exact closed form for every w
};

// The closed form: sum over f of c(fx) PSD(f) |DFT tx|^2 |DFT ty|^2 |DFT tz|^2
// |sum_m G[w][m] exp(-2 pi j f.r / F)|^2 / |F|^2.
Reference closedForm(const std::vector<double>& P, Vec3<int> F, Vec3<int> B, Vec3<const float*> fwd,
                     bool fold, int N, const float* G, const std::vector<Vec3<int>>& pos) {
    const int nB = volume(B), nF = volume(F);
    const auto ax = rowPowers(fwd.x, B.x, F.x);
    const auto ay = rowPowers(fwd.y, B.y, F.y);
    const auto az = rowPowers(fwd.z, B.z, F.z);
    std::vector<double> positionPower(static_cast<std::size_t>(nF) * N);
    for (int w = 0; w < N; ++w) {
        for (int fz = 0; fz < F.z; ++fz) {
            for (int fy = 0; fy < F.y; ++fy) {
                for (int fx = 0; fx < F.x; ++fx) {
                    cd s = 0;
                    for (int m = 0; m < N; ++m) {
                        const double phase = double(fx) * pos[m].x / F.x +
                                             double(fy) * pos[m].y / F.y +
                                             double(fz) * pos[m].z / F.z;
                        s += double(G[w * N + m]) * std::polar(1.0, -2.0 * PI * phase);
                    }
                    positionPower[fx + F.x * (fy + F.y * fz) + std::size_t(nF) * w] = std::norm(s);
                }
            }
        }
    }
    Reference r;
    r.localVar.assign(nB, 0.0);
    r.variances.assign(static_cast<std::size_t>(nB) * N, 0.0);
    const double norm = double(nF) * nF;
    for (int cz = 0; cz < B.z; ++cz) {
        for (int cy = 0; cy < B.y; ++cy) {
            for (int cx = 0; cx < B.x; ++cx) {
                const int psi = cx + B.x * (cy + B.y * cz);
                for (int fz = 0; fz < F.z; ++fz) {
                    for (int fy = 0; fy < F.y; ++fy) {
                        for (int fx = 0; fx < F.x; ++fx) {
                            const int phi = fx + F.x * (fy + F.y * fz);
                            const double term = foldWeight(fx, F.x, fold) * P[phi] *
                                                ax[cx * F.x + fx] * ay[cy * F.y + fy] *
                                                az[cz * F.z + fz] / norm;
                            r.localVar[psi] += term;
                            for (int w = 0; w < N; ++w) {
                                r.variances[psi + std::size_t(nB) * w] +=
                                    term * positionPower[phi + std::size_t(nF) * w];
                            }
                        }
                    }
                }
            }
        }
    }
    return r;
}

Parameters makeParams(Vec3<int> B, Vec3<int> R, bool symmetry, int maxGroupSize, int vgs,
                      Vec3<int> psdSize) {
    Parameters p{};
    p.blockSize = B;
    p.psdResampleSize = R;
    p.psdSymmetry = symmetry;
    p.maxGroupSize = maxGroupSize;
    p.varianceGroupSize = vgs;
    p.psdSize = psdSize;
    p.imageSize = {32, 32, B.z == 1 ? 1 : 32};
    p.step = {1, 1, 1};
    return p;
}

Vec3<int> workGrid(const Parameters& p) {
    return {workingWidthX(p), p.psdResampleSize.y, p.psdResampleSize.z};
}

std::vector<float> colouredPsd(Vec3<int> S, int seed) {
    std::vector<float> psd(volume(S));
    for (int i = 0; i < volume(S); ++i) psd[i] = float(0.2 + 3.0 * pseudo(i + 1000 * seed));
    return psd;
}

// Owns the buffers the library hands out in one variance computation.
struct NoiseTables {
    float* K3fT3 = nullptr;
    float* localVar = nullptr;
    TempMemory<float> temp;
    ~NoiseTables() {
        cFree(K3fT3);
        cFree(localVar);
    }
};

// An orthonormal DCT-II of size n, row k = basis function k.
std::vector<float> dctMatrix(int n) {
    std::vector<float> m(n * n);
    for (int k = 0; k < n; ++k) {
        for (int i = 0; i < n; ++i) {
            const double a = k == 0 ? std::sqrt(1.0 / n) : std::sqrt(2.0 / n);
            m[k * n + i] = float(a * std::cos(PI * (2 * i + 1) * k / (2.0 * n)));
        }
    }
    return m;
}

} // namespace

// ---------------------------------------------------------------- Fourier helpers

TEST(Fft, EveryLengthMatchesNaiveDft) {
    for (int n : {4, 8, 16, 32, 64}) {
        std::vector<Complex> in(n), outC(n), outR(n);
        std::vector<cd> ref(n), refReal(n);
        for (int i = 0; i < n; ++i) {
            in[i] = {float(pseudo(3 * i) - 0.5), float(pseudo(3 * i + 1) - 0.5)};
            ref[i] = cd(in[i].re, in[i].im);
            refReal[i] = cd(in[i].re, 0.0);
        }
        fftComplex(n, in.data(), outC.data());
        fftReal(n, in.data(), outR.data()); // imaginary parts of in must be ignored
        ref = naiveDft(ref);
        refReal = naiveDft(refReal);
        for (int k = 0; k < n; ++k) {
            EXPECT_NEAR(outC[k].re, ref[k].real(), 2e-6 * n) << "n=" << n << " k=" << k;
            EXPECT_NEAR(outC[k].im, ref[k].imag(), 2e-6 * n) << "n=" << n << " k=" << k;
            EXPECT_NEAR(outR[k].re, refReal[k].real(), 2e-6 * n) << "n=" << n << " k=" << k;
            EXPECT_NEAR(outR[k].im, refReal[k].imag(), 2e-6 * n) << "n=" << n << " k=" << k;
        }
    }
}

TEST(Fft, ImpulseAndConstant) {
    for (int n : {4, 8, 16, 32, 64}) {
        std::vector<Complex> impulse(n, Complex{0.0f, 0.0f}), constant(n, Complex{2.5f, 0.0f});
        std::vector<Complex> out(n);
        impulse[0] = {1.0f, 0.0f};
        fftComplex(n, impulse.data(), out.data());
        for (int k = 0; k < n; ++k) {
            EXPECT_NEAR(out[k].re, 1.0f, 1e-6f);
            EXPECT_NEAR(out[k].im, 0.0f, 1e-6f);
        }
        fftReal(n, constant.data(), out.data());
        EXPECT_NEAR(out[0].re, 2.5f * n, 1e-5f * n);
        EXPECT_NEAR(out[0].im, 0.0f, 1e-5f);
        for (int k = 1; k < n; ++k) {
            EXPECT_NEAR(out[k].re, 0.0f, 1e-5f) << "n=" << n << " k=" << k;
            EXPECT_NEAR(out[k].im, 0.0f, 1e-5f) << "n=" << n << " k=" << k;
        }
    }
}

TEST(Fft, UnsupportedLengthsThrow) {
    std::vector<Complex> in(256, Complex{1.0f, 0.0f}), out(256);
    for (int n : {0, 1, 2, 3, 6, 12, 128}) {
        EXPECT_THROW(fftReal(n, in.data(), out.data()), std::exception) << n;
        EXPECT_THROW(fftComplex(n, in.data(), out.data()), std::exception) << n;
    }
}

TEST(TransformToFourier, PowerOfEveryRow) {
    float* out = nullptr;
    transformToFourier<float>(8, 8, DCT_8_FWD, out);
    ASSERT_NE(out, nullptr);
    EXPECT_NEAR(out[0], 8.0f, 1e-5f);
    for (int j = 1; j < 8; ++j) EXPECT_NEAR(out[j], 0.0f, 1e-5f);
    cFree(out);

    // A non-orthogonal matrix on a finer frequency grid.
    transformToFourier<float>(8, 16, BIOR_8_FWD, out);
    ASSERT_NE(out, nullptr);
    const auto ref = rowPowers(BIOR_8_FWD, 8, 16);
    for (int i = 0; i < 8 * 16; ++i) EXPECT_NEAR(out[i], ref[i], 1e-5 * (1 + ref[i])) << i;
    cFree(out);

    setAllocationFailureHook([](std::size_t) { return true; });
    out = reinterpret_cast<float*>(&out);
    transformToFourier<float>(4, 8, DCT_4_FWD, out);
    setAllocationFailureHook({});
    EXPECT_EQ(out, nullptr);
}

// ---------------------------------------------------------------- PSD resizing

TEST(ResizePsd, SameSizeGivesThePsdBack) {
    for (Vec3<int> S : {Vec3<int>{8, 8, 8}, Vec3<int>{5, 7, 3}}) {
        const auto psd = colouredPsd(S, 1);
        float* out = nullptr;
        resizePSD(psd.data(), S, S, S, out);
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < volume(S); ++i) EXPECT_NEAR(out[i], psd[i], 1e-5f * psd[i]) << i;
        cFree(out);
    }
}

TEST(ResizePsd, DoublingAlongXDoublesAndInterpolates) {
    const Vec3<int> S{8, 3, 2}, T{16, 3, 2};
    const auto psd = colouredPsd(S, 2);
    float* out = nullptr;
    resizePSD(psd.data(), S, T, T, out);
    ASSERT_NE(out, nullptr);
    for (int row = 0; row < 6; ++row) {
        const float* s = psd.data() + 8 * row;
        const float* t = out + 16 * row;
        for (int k = 0; k < 8; ++k) EXPECT_NEAR(t[2 * k], 2 * s[k], 1e-5f) << row << " " << k;
        for (int k = 0; k < 7; ++k) EXPECT_NEAR(t[2 * k + 1], s[k] + s[k + 1], 1e-5f);
        EXPECT_NEAR(t[15], 2 * s[7], 1e-5f); // the top edge is clamped, not wrapped
    }
    cFree(out);
}

TEST(ResizePsd, ArbitrarySizesMatchIndependentResampling) {
    const Vec3<int> S{6, 5, 3}, T{16, 8, 4};
    const auto psd = colouredPsd(S, 3);
    float* out = nullptr;
    resizePSD(psd.data(), S, T, T, out);
    ASSERT_NE(out, nullptr);
    const auto ref = referenceResize(psd, S, T);
    for (int i = 0; i < volume(T); ++i) EXPECT_NEAR(out[i], ref[i], 1e-5 * ref[i]) << i;
    cFree(out);

    setAllocationFailureHook([](std::size_t) { return true; });
    out = reinterpret_cast<float*>(&out);
    resizePSD(psd.data(), S, T, T, out);
    setAllocationFailureHook({});
    EXPECT_EQ(out, nullptr);
}

// ---------------------------------------------------------------- noise tables

// Folded table against the unfolded one, layer by layer.
static void checkFoldLayers(Vec3<int> F, int Wx, const std::vector<float>& expectedFactor) {
    const Vec3<int> B{4, 4, 1}, S{5, 6, 1};
    const auto psd = colouredPsd(S, 4);
    const auto dct4 = dctMatrix(4);
    const Vec3<const float*> fwd{dct4.data(), dct4.data(), ONE};
    float* full = nullptr;
    float* folded = nullptr;
    computeK3fT3<float>(psd.data(), S, F, F, B, fwd, full);
    computeK3fT3<float>(psd.data(), S, F, Vec3<int>{Wx, F.y, F.z}, B, fwd, folded);
    ASSERT_NE(full, nullptr);
    ASSERT_NE(folded, nullptr);
    const int layer = volume(B) * F.y * F.z;
    for (int fx = 0; fx < F.x; ++fx) {
        for (int i = 0; i < layer; ++i) {
            const int at = fx * layer + i;
            ASSERT_FLOAT_EQ(folded[at], expectedFactor[fx] * full[at]) << "fx=" << fx << " i=" << i;
        }
    }
    cFree(full);
    cFree(folded);
}

TEST(NoiseTables, FoldLayersEvenAndOddWidth) {
    checkFoldLayers({8, 8, 1}, 5, {1, 2, 2, 2, 1, 0, 0, 0});
    checkFoldLayers({7, 7, 1}, 5, {1, 2, 2, 1, 0, 0, 0});
}

TEST(NoiseTables, WhiteNoiseLocalVarIsSigmaSquared) {
    const float sigma2 = 2.5f;
    struct Case {
        Vec3<int> B, R, S;
        bool symmetry;
    };
    const Case cases[] = {
        {{8, 8, 1}, {8, 8, 1}, {8, 8, 1}, true},   {{8, 8, 1}, {16, 16, 1}, {4, 4, 1}, false},
        {{8, 8, 1}, {16, 16, 1}, {4, 4, 1}, true}, {{4, 4, 4}, {8, 8, 8}, {3, 5, 2}, true},
        {{4, 4, 4}, {8, 8, 8}, {8, 8, 8}, false},  {{4, 4, 4}, {4, 4, 4}, {4, 4, 4}, true},
    };
    for (const Case& c : cases) {
        const Parameters p = makeParams(c.B, c.R, c.symmetry, 1, 1, c.S);
        const Vec3<int> W = workGrid(p);
        std::vector<float> psd(volume(c.S), sigma2 * volume(c.S));
        const Vec3<const float*> fwd = c.B.z == 1
                                           ? Vec3<const float*>{DCT_8_FWD, DCT_8_FWD, ONE}
                                           : Vec3<const float*>{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD};
        NoiseTables t;
        computeK3fT3<float>(psd.data(), c.S, c.R, W, c.B, fwd, t.K3fT3);
        ASSERT_NE(t.K3fT3, nullptr);
        computeLocalVar(t.K3fT3, W, volume(c.B), t.localVar);
        ASSERT_NE(t.localVar, nullptr);
        for (int psi = 0; psi < volume(c.B); ++psi) {
            EXPECT_NEAR(t.localVar[psi], sigma2, 1e-4f * sigma2)
                << "R=" << c.R.x << "," << c.R.y << "," << c.R.z << " sym=" << c.symmetry
                << " psi=" << psi;
        }
    }
}

TEST(NoiseTables, AllocationFailureLeavesOutputUntouched) {
    const Vec3<int> B{4, 4, 4}, F{8, 8, 8}, W{5, 8, 8}, S{4, 4, 4};
    const auto psd = colouredPsd(S, 5);
    const Vec3<const float*> fwd{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD};
    int calls = 0;
    int failAt = -1;
    setAllocationFailureHook([&](std::size_t) { return calls++ == failAt; });
    float sentinel = 0.0f;
    // resizePSD, three response tables, the product, the table: six allocations.
    for (failAt = 0; failAt < 6; ++failAt) {
        calls = 0;
        float* out = &sentinel;
        computeK3fT3<float>(psd.data(), S, F, W, B, fwd, out);
        EXPECT_EQ(out, &sentinel) << "failing allocation " << failAt;
    }
    calls = 0;
    failAt = 0;
    float* lv = &sentinel;
    std::vector<float> table(64 * 512, 1.0f);
    computeLocalVar(table.data(), W, 64, lv);
    EXPECT_EQ(lv, nullptr);
    setAllocationFailureHook({});

    float* out = nullptr;
    computeK3fT3<float>(psd.data(), S, F, W, B, fwd, out);
    EXPECT_NE(out, nullptr);
    cFree(out);
}

TEST(NoiseTables, LayerSumMatchesPlainLoop) {
    const std::size_t layers = 5 * 8 * 8;
    // Coefficient counts and batch sizes that reach every chunk and tail path.
    for (int n : {64, 27, 8, 5, 1}) {
        for (int count : {1, 2, 3, 4, 7}) {
            std::vector<float> table(n * layers), weights(count * layers);
            std::vector<float> fast(n * count, -1.0f), plain(n * count, -2.0f);
            for (std::size_t i = 0; i < table.size(); ++i) table[i] = float(pseudo(int(i)));
            for (std::size_t i = 0; i < weights.size(); ++i)
                weights[i] = float(pseudo(int(i) + 99999) * 4);
            weightedLayerSum<float>(table.data(), weights.data(), count, n, layers, fast.data());
            weightedLayerSumReference<float>(table.data(), weights.data(), count, n, layers,
                                             plain.data());
            for (int i = 0; i < n * count; ++i)
                ASSERT_NEAR(fast[i], plain[i], 1e-6f * plain[i]) << n << " " << count << " " << i;
            weightedLayerSum<float>(table.data(), nullptr, 1, n, layers, fast.data());
            weightedLayerSumReference<float>(table.data(), nullptr, 1, n, layers, plain.data());
            for (int i = 0; i < n; ++i) ASSERT_NEAR(fast[i], plain[i], 1e-6f * plain[i]) << i;
        }
    }
}

// ---------------------------------------------------------------- group variances

namespace {

struct VarianceCase {
    const char* name;
    Vec3<int> B;
    Vec3<const float*> fwd;
    Vec3<int> psdSize;
    Vec3<int> R;
    bool symmetry;
    bool white;
    int N;
    int E;
    const float* G;
    std::vector<Vec3<int>> positions;
    int maxGroupSize = 0; // 0: the group length
};

void runVarianceCase(const VarianceCase& c) {
    SCOPED_TRACE(c.name);
    const int nB = volume(c.B);
    const Parameters p =
        makeParams(c.B, c.R, c.symmetry, c.maxGroupSize > 0 ? c.maxGroupSize : c.N, c.E, c.psdSize);
    ASSERT_EQ(validateNoiseParameters(p), "");
    const Vec3<int> W = workGrid(p);
    const bool fold = W.x < c.R.x;
    std::vector<float> psd = c.white
                                 ? std::vector<float>(volume(c.psdSize), 1.5f * volume(c.psdSize))
                                 : colouredPsd(c.psdSize, 7);

    NoiseTables t;
    computeK3fT3<float>(psd.data(), c.psdSize, c.R, W, c.B, c.fwd, t.K3fT3);
    ASSERT_NE(t.K3fT3, nullptr);
    computeLocalVar(t.K3fT3, W, nB, t.localVar);
    ASSERT_NE(t.localVar, nullptr);
    t.temp = createTempMemory<float>(p);
    ASSERT_TRUE(t.temp.valid);

    std::vector<BlockDistance<float>> members(c.N);
    for (int i = 0; i < c.N; ++i) members[i].relativePosition = c.positions[i];
    std::vector<float> buffer(static_cast<std::size_t>(nB) * c.N, -1.0f);
    Cube4D<float> variances;
    variances.size = {c.B.x, c.B.y, c.B.z, c.N};
    variances.data = buffer.data();
    calculateVariances<float>(c.N, c.B, c.R, W, c.E, c.G, t.K3fT3, t.localVar, variances,
                              members.data(), t.temp);

    const std::vector<double> P = c.psdSize == c.R ? std::vector<double>(psd.begin(), psd.end())
                                                   : referenceResize(psd, c.psdSize, c.R);
    const Reference ref = closedForm(P, c.R, c.B, c.fwd, fold, c.N, c.G, c.positions);
    double largest = 0;
    for (double v : ref.variances) largest = std::max(largest, v);
    for (double v : ref.localVar) largest = std::max(largest, v);
    ASSERT_GT(largest, 0.0);
    const double tol = 1e-4 * largest;

    for (int psi = 0; psi < nB; ++psi) {
        ASSERT_NEAR(t.localVar[psi], ref.localVar[psi], tol) << "localVar psi=" << psi;
        double exactSum = 0;
        for (int w = 0; w < c.E; ++w) {
            const double r = ref.variances[psi + std::size_t(nB) * w];
            exactSum += r;
            ASSERT_NEAR(buffer[psi + std::size_t(nB) * w], r, tol) << "psi=" << psi << " w=" << w;
        }
        // The coefficients not computed exactly share what is left of N * localVar.
        const double shared = (ref.localVar[psi] * c.N - exactSum) / (c.N - c.E + (c.N == c.E));
        for (int w = c.E; w < c.N; ++w) {
            ASSERT_NEAR(buffer[psi + std::size_t(nB) * w], shared, tol * c.N)
                << "shared psi=" << psi << " w=" << w;
        }
    }
    for (int i = 0; i < c.N; ++i) {
        const Vec3<int>& r = members[i].relativePosition;
        const Vec3<int>& o = c.positions[i];
        EXPECT_TRUE(r.x == o.x % c.R.x && r.y == o.y % c.R.y && r.z == o.z % c.R.z)
            << "member " << i << " not reduced modulo the grid";
    }
}

std::vector<Vec3<int>> scattered(int n, Vec3<int> spread, int seed) {
    std::vector<Vec3<int>> out(n);
    for (int i = 0; i < n; ++i) {
        out[i] = {int(pseudo(seed + 3 * i) * spread.x), int(pseudo(seed + 3 * i + 1) * spread.y),
                  int(pseudo(seed + 3 * i + 2) * spread.z)};
    }
    out[0] = {0, 0, 0};
    return out;
}

} // namespace

TEST(Variances, ClosedForm2D) {
    const Vec3<const float*> dct{DCT_8_FWD, DCT_8_FWD, ONE};
    const Vec3<const float*> bior{BIOR_8_FWD, BIOR_8_FWD, ONE};
    const float one[1] = {1.0f};
    const auto dct16 = dctMatrix(16);
    const Vec3<int> B{8, 8, 1};
    const VarianceCase cases[] = {
        {"white, one member", B, dct, {8, 8, 1}, {8, 8, 1}, true, true, 1, 1, one, {{0, 0, 0}}},
        {"coloured 5x12 -> 16x16 folded, pair",
         B,
         bior,
         {5, 12, 1},
         {16, 16, 1},
         true,
         false,
         2,
         2,
         SIZE_2_TRANSFORM,
         {{3, 0, 0}, {0, 21, 0}}},
        {"coloured 16x16 unfolded, 4 members, E < N",
         B,
         dct,
         {16, 16, 1},
         {16, 16, 1},
         false,
         false,
         4,
         2,
         HAAR_4_FWD,
         scattered(4, {40, 40, 1}, 11)},
        {"coloured 6x6 -> 8x8 folded, 16 members, E < N",
         B,
         bior,
         {6, 6, 1},
         {8, 8, 1},
         true,
         false,
         16,
         4,
         HAAR_16_FWD,
         scattered(16, {30, 30, 1}, 12)},
        {"coloured 8x8 unfolded, 16 members, E = N",
         B,
         dct,
         {8, 8, 1},
         {8, 8, 1},
         false,
         false,
         16,
         16,
         dct16.data(),
         scattered(16, {20, 20, 1}, 13)},
        {"coloured 16x16 folded, 4 members, E = 0",
         B,
         dct,
         {7, 9, 1},
         {16, 16, 1},
         true,
         false,
         4,
         0,
         HAAR_4_FWD,
         scattered(4, {20, 20, 1}, 14)},
        {"white 16x16 folded, 16 members, E = N",
         B,
         bior,
         {4, 4, 1},
         {16, 16, 1},
         true,
         true,
         16,
         16,
         HAAR_16_FWD,
         scattered(16, {50, 50, 1}, 15)},
    };
    for (const VarianceCase& c : cases) runVarianceCase(c);
}

TEST(Variances, ClosedForm3D) {
    const Vec3<const float*> dct{DCT_4_FWD, DCT_4_FWD, DCT_4_FWD};
    const Vec3<int> B{4, 4, 4};
    const float one[1] = {1.0f};
    const auto dct4 = dctMatrix(4);
    const VarianceCase cases[] = {
        {"white 8^3 folded, one member off the origin",
         B,
         dct,
         {8, 8, 8},
         {8, 8, 8},
         true,
         true,
         1,
         1,
         one,
         {{5, 2, 9}}},
        {"coloured 6x6x3 -> 8^3 folded, 4 members",
         B,
         dct,
         {6, 6, 3},
         {8, 8, 8},
         true,
         false,
         4,
         4,
         dct4.data(),
         scattered(4, {12, 12, 12}, 21)},
        {"coloured 8^3 unfolded, 16 members, E < N",
         B,
         dct,
         {8, 8, 8},
         {8, 8, 8},
         false,
         false,
         16,
         8,
         HAAR_16_FWD,
         scattered(16, {12, 12, 12}, 22)},
        {"coloured 4^3 folded, pair, E < N",
         B,
         dct,
         {5, 3, 4},
         {4, 4, 4},
         true,
         false,
         2,
         1,
         SIZE_2_TRANSFORM,
         {{0, 0, 0}, {1, 6, 3}}},
        {"coloured 8x4x8 (no fold), 2 members",
         B,
         dct,
         {8, 4, 8},
         {8, 4, 8},
         true,
         false,
         2,
         2,
         SIZE_2_TRANSFORM,
         {{7, 0, 1}, {0, 3, 0}}},
        {"coloured 8^3 folded, E = 0",
         B,
         dct,
         {8, 8, 8},
         {8, 8, 8},
         true,
         false,
         4,
         0,
         HAAR_4_FWD,
         scattered(4, {9, 9, 9}, 23)},
    };
    for (const VarianceCase& c : cases) runVarianceCase(c);
}

// With a real PSD symmetric under f -> -f, the folded sums equal the full ones.
TEST(Variances, FoldIsExactForSymmetricSpectrum) {
    const Vec3<int> B{8, 8, 1}, R{16, 16, 1};
    std::vector<float> psd(volume(R));
    for (int y = 0; y < R.y; ++y) {
        for (int x = 0; x < R.x; ++x) {
            psd[x + R.x * y] = float(2.0 + std::cos(2 * PI * x / R.x) +
                                     0.5 * std::cos(2 * PI * (x + 2 * y) / R.x));
        }
    }
    const std::vector<Vec3<int>> pos{{0, 0, 0}, {3, 1, 0}, {1, 7, 0}, {9, 2, 0}};
    std::vector<float> results[2];
    for (int sym = 0; sym < 2; ++sym) {
        const Parameters p = makeParams(B, R, sym == 1, 4, 4, R);
        const Vec3<int> W = workGrid(p);
        NoiseTables t;
        computeK3fT3<float>(psd.data(), R, R, W, B, {BIOR_8_FWD, DCT_8_FWD, ONE}, t.K3fT3);
        computeLocalVar(t.K3fT3, W, 64, t.localVar);
        t.temp = createTempMemory<float>(p);
        ASSERT_TRUE(t.K3fT3 && t.localVar && t.temp.valid);
        std::vector<BlockDistance<float>> members(4);
        for (int i = 0; i < 4; ++i) members[i].relativePosition = pos[i];
        results[sym].assign(64 * 4, 0.0f);
        Cube4D<float> v;
        v.size = {8, 8, 1, 4};
        v.data = results[sym].data();
        calculateVariances<float>(4, B, R, W, 4, HAAR_4_FWD, t.K3fT3, t.localVar, v, members.data(),
                                  t.temp);
    }
    const float largest = *std::max_element(results[0].begin(), results[0].end());
    for (int i = 0; i < 64 * 4; ++i) EXPECT_NEAR(results[1][i], results[0][i], 1e-4f * largest);
}

TEST(Variances, EdgeCases) {
    const Vec3<int> B{8, 8, 1}, R{8, 8, 1}, S{8, 8, 1};
    const Parameters p = makeParams(B, R, true, 4, 4, S);
    const Vec3<int> W = workGrid(p);
    const auto psd = colouredPsd(S, 8);
    NoiseTables t;
    computeK3fT3<float>(psd.data(), S, R, W, B, {DCT_8_FWD, DCT_8_FWD, ONE}, t.K3fT3);
    computeLocalVar(t.K3fT3, W, 64, t.localVar);
    t.temp = createTempMemory<float>(p);
    ASSERT_TRUE(t.K3fT3 && t.localVar && t.temp.valid);
    std::vector<float> buffer(64 * 4);
    Cube4D<float> v;
    v.size = {8, 8, 1, 4};
    v.data = buffer.data();

    // Members one grid period apart land on the same point: the weights add up.
    std::vector<BlockDistance<float>> pair(2);
    pair[0].relativePosition = {1, 2, 0};
    pair[1].relativePosition = {9, 18, 0};
    calculateVariances<float>(2, B, R, W, 2, SIZE_2_TRANSFORM, t.K3fT3, nullptr, v, pair.data(),
                              t.temp);
    for (int psi = 0; psi < 64; ++psi) {
        EXPECT_NEAR(buffer[psi], 2 * t.localVar[psi], 1e-5f * t.localVar[0]);
        EXPECT_NEAR(buffer[64 + psi], 0.0f, 1e-6f * t.localVar[0]);
    }
    EXPECT_TRUE(pair[1].relativePosition == (Vec3<int>{1, 2, 0}));

    // E = 0: every coefficient gets the block variance.
    std::vector<BlockDistance<float>> four(4);
    for (int i = 0; i < 4; ++i) four[i].relativePosition = {i, 2 * i, 0};
    calculateVariances<float>(4, B, R, W, 0, HAAR_4_FWD, t.K3fT3, t.localVar, v, four.data(),
                              t.temp);
    for (int i = 0; i < 64 * 4; ++i) EXPECT_FLOAT_EQ(buffer[i], t.localVar[i % 64]);

    // A working grid wider than the grid, or an inconsistent group, is refused.
    EXPECT_THROW(calculateVariances<float>(4, B, R, Vec3<int>{9, 8, 1}, 4, HAAR_4_FWD, t.K3fT3,
                                           t.localVar, v, four.data(), t.temp),
                 CheckFailure);
    EXPECT_THROW(calculateVariances<float>(4, B, R, W, 2, HAAR_4_FWD, t.K3fT3, nullptr, v,
                                           four.data(), t.temp),
                 CheckFailure);
    EXPECT_THROW(calculateVariances<float>(4, B, R, W, 5, HAAR_4_FWD, t.K3fT3, t.localVar, v,
                                           four.data(), t.temp),
                 CheckFailure);
}

// psdSymmetry on a grid of one point: the folded width (2) would exceed the grid.
TEST(MendedFaults, SymmetryOnSinglePointGridDoesNotFold) {
    const Vec3<int> B{1, 1, 1}, R{1, 1, 1}, S{3, 3, 1};
    const Parameters p = makeParams(B, R, true, 2, 2, S);
    EXPECT_EQ(validateNoiseParameters(p), "");
    const Vec3<int> W = workGrid(p);
    ASSERT_EQ(W.x, 1);
    const auto psd = colouredPsd(S, 9);
    const Vec3<const float*> fwd{ONE, ONE, ONE};
    NoiseTables t;
    computeK3fT3<float>(psd.data(), S, R, W, B, fwd, t.K3fT3);
    ASSERT_NE(t.K3fT3, nullptr);
    computeLocalVar(t.K3fT3, W, 1, t.localVar);
    ASSERT_NE(t.localVar, nullptr);
    // One frequency: the resampled PSD is psd[0] scaled by 1/9, and |F|^2 = 1.
    EXPECT_NEAR(t.localVar[0], psd[0] / 9.0f, 1e-6f);
    t.temp = createTempMemory<float>(p);
    ASSERT_TRUE(t.temp.valid);
    std::vector<BlockDistance<float>> pair(2);
    pair[1].relativePosition = {3, 0, 0};
    float buffer[2] = {-1, -1};
    Cube4D<float> v;
    v.size = {1, 1, 1, 2};
    v.data = buffer;
    const float G[4] = {1.0f, 1.0f, 1.0f, -0.5f};
    calculateVariances<float>(2, B, R, W, 2, G, t.K3fT3, t.localVar, v, pair.data(), t.temp);
    EXPECT_NEAR(buffer[0], 4.0f * t.localVar[0], 1e-6f);
    EXPECT_NEAR(buffer[1], 0.25f * t.localVar[0], 1e-6f);

    // Handed the unguarded width, the routines refuse rather than read past the table.
    float* table = nullptr;
    EXPECT_THROW(computeK3fT3<float>(psd.data(), S, R, Vec3<int>{2, 1, 1}, B, fwd, table),
                 CheckFailure);
    EXPECT_EQ(table, nullptr);
    EXPECT_THROW(calculateVariances<float>(2, B, R, Vec3<int>{2, 1, 1}, 2, G, t.K3fT3, t.localVar,
                                           v, pair.data(), t.temp),
                 CheckFailure);
}

// |F| = 64^3 makes |F|^2 = 2^36; formed in int it would wrap to zero.
TEST(MendedFaults, LargestGridNormalisesWithoutOverflow) {
    const Vec3<int> B{2, 2, 2}, R{64, 64, 64}, S{4, 4, 4};
    const float sigma2 = 0.75f;
    const Parameters p = makeParams(B, R, true, 2, 2, S);
    ASSERT_EQ(validateNoiseParameters(p), "");
    const Vec3<int> W = workGrid(p);
    ASSERT_EQ(W.x, 33);
    std::vector<float> psd(volume(S), sigma2 * volume(S));
    NoiseTables t;
    computeK3fT3<float>(psd.data(), S, R, W, B,
                        {SIZE_2_TRANSFORM, SIZE_2_TRANSFORM, SIZE_2_TRANSFORM}, t.K3fT3);
    ASSERT_NE(t.K3fT3, nullptr);
    // f = 0, coefficient 0: the sum row (s, s) has power 2 per axis.
    EXPECT_NEAR(t.K3fT3[0], 8.0f * sigma2 / 262144.0f, 1e-5f * sigma2 / 262144.0f);
    computeLocalVar(t.K3fT3, W, 8, t.localVar);
    ASSERT_NE(t.localVar, nullptr);
    // The sums run in float over 33*64*64 layers, so rounding reaches a few 1e-4.
    for (int psi = 0; psi < 8; ++psi) EXPECT_NEAR(t.localVar[psi], sigma2, 5e-4f * sigma2);

    // White noise: the position power averages to the sum of squared weights.
    t.temp = createTempMemory<float>(p);
    ASSERT_TRUE(t.temp.valid);
    std::vector<BlockDistance<float>> pair(2);
    pair[0].relativePosition = {5, 9, 63};
    pair[1].relativePosition = {70, 0, 1};
    std::vector<float> buffer(16);
    Cube4D<float> v;
    v.size = {2, 2, 2, 2};
    v.data = buffer.data();
    const float G[4] = {1.0f, 1.0f, 1.0f, -0.5f};
    calculateVariances<float>(2, B, R, W, 2, G, t.K3fT3, t.localVar, v, pair.data(), t.temp);
    for (int psi = 0; psi < 8; ++psi) {
        EXPECT_NEAR(buffer[psi], 2.0f * sigma2, 5e-4f * sigma2) << psi;
        EXPECT_NEAR(buffer[8 + psi], 1.25f * sigma2, 5e-4f * sigma2) << psi;
    }
}
