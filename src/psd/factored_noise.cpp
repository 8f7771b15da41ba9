#include "psd/factored_noise.h"

#include <array>
#include <cmath>
#include <cstddef>

#include "core/allocator.h"
#include "psd/resize_psd.h"

namespace vexa {

namespace {

// Weight of layer fx once the table is folded onto the working width (see
// foldAlongX): mirrored frequencies count twice, those beyond none.
float foldWeight(int fx, int Fx, int Wx) {
    if (Wx >= Fx) return 1.0f;
    const int r = Fx % 2;
    if (fx >= 1 && fx < Wx - 1 - r) return 2.0f;
    if (fx >= Wx - r) return 0.0f;
    return 1.0f;
}

std::size_t product(const Vec3<int>& v) {
    return static_cast<std::size_t>(v.x) * static_cast<std::size_t>(v.y) *
           static_cast<std::size_t>(v.z);
}

// The longest grid axis (that of the largest FFT).
constexpr int kMaxAxis = 64;
using Profile = std::array<double, kMaxAxis>;

double psdAt(const float* P, const Vec3<int>& F, int fx, int fy, int fz) {
    return P[static_cast<std::size_t>(fx) +
             static_cast<std::size_t>(F.x) * (fy + static_cast<std::size_t>(F.y) * fz)];
}

// Mean of the resampled PSD over the working grid when every value there is
// within a relative 1e-6 of it; false otherwise.
bool flatValue(const float* P, const Vec3<int>& F, const Vec3<int>& W, double& mean) {
    double sum = 0.0;
    for (int fz = 0; fz < W.z; ++fz)
        for (int fy = 0; fy < W.y; ++fy)
            for (int fx = 0; fx < W.x; ++fx) sum += psdAt(P, F, fx, fy, fz);
    mean = sum / static_cast<double>(product(W));
    if (!std::isfinite(mean)) return false;
    const double tolerance = 1e-6 * std::fabs(mean);
    for (int fz = 0; fz < W.z; ++fz)
        for (int fy = 0; fy < W.y; ++fy)
            for (int fx = 0; fx < W.x; ++fx) {
                // Written so that a NaN fails too.
                if (!(std::fabs(psdAt(P, F, fx, fy, fz) - mean) <= tolerance)) return false;
            }
    return true;
}

// Axis profiles of the resampled PSD over the working grid: P(fx, fy, fz)
// = px[fx] * py[fy] * pz[fz] within a relative 1e-6 at every point, or false.
// The profiles are the PSD's marginal sums, scaled so that their product
// matches P exactly when P is a product.
bool axisProfiles(const float* P, const Vec3<int>& F, const Vec3<int>& W, Profile& px, Profile& py,
                  Profile& pz) {
    px.fill(0.0);
    py.fill(0.0);
    pz.fill(0.0);
    double total = 0.0;
    for (int fz = 0; fz < W.z; ++fz)
        for (int fy = 0; fy < W.y; ++fy)
            for (int fx = 0; fx < W.x; ++fx) {
                const double v = psdAt(P, F, fx, fy, fz);
                px[fx] += v;
                py[fy] += v;
                pz[fz] += v;
                total += v;
            }
    // Zero or cancelling sums: the flat test has taken the all-zero PSD.
    if (!std::isfinite(total) || total == 0.0) return false;
    // P = a b c / total^2 for marginals a, b, c of a product.
    for (int fx = 0; fx < W.x; ++fx) px[fx] /= total;
    for (int fy = 0; fy < W.y; ++fy) py[fy] /= total;
    for (int fz = 0; fz < W.z; ++fz)
        for (int fy = 0; fy < W.y; ++fy)
            for (int fx = 0; fx < W.x; ++fx) {
                const double product = px[fx] * py[fy] * pz[fz];
                // Written so that a NaN fails too.
                if (!(std::fabs(psdAt(P, F, fx, fy, fz) - product) <= 1e-6 * std::fabs(product)))
                    return false;
            }
    return true;
}

// True when every value of P over the working grid is finite.
bool finiteOver(const float* P, const Vec3<int>& F, const Vec3<int>& W) {
    for (int fz = 0; fz < W.z; ++fz)
        for (int fy = 0; fy < W.y; ++fy)
            for (int fx = 0; fx < W.x; ++fx)
                if (!std::isfinite(psdAt(P, F, fx, fy, fz))) return false;
    return true;
}

} // namespace

FactoredNoise::~FactoredNoise() {
    cFree(x);
}

void computeFactoredNoise(const float* psd, const Vec3<int>& psdSize, const Vec3<int>& F,
                          const Vec3<int>& W, const Vec3<int>& B, const Vec3<const float*>& forward,
                          FactoredNoise& out) {
    cFree(out.x);
    out.x = out.y = out.z = out.psd = nullptr;
    out.row = 0;
    // Grids longer than the FFTs take (no stage runs one) keep the full table.
    if (W.x > kMaxAxis || W.y > kMaxAxis || W.z > kMaxAxis) return;
    float* P = nullptr;
    resizePSD(psd, psdSize, F, W, P);
    if (P == nullptr) return;
    // The PSD joins the axis rows when it is flat (its value, in the x rows)
    // or a product of axis profiles; any other stays a weight of its own.
    Profile px, py, pz;
    double mean = 0.0;
    const bool flat = flatValue(P, F, W, mean);
    const bool weighted = !flat && !axisProfiles(P, F, W, px, py, pz);
    if (flat || weighted) {
        px.fill(flat ? mean : 1.0);
        py.fill(1.0);
        pz.fill(1.0);
    }
    if (weighted && !finiteOver(P, F, W)) {
        cFree(P);
        return;
    }

    const AxisPowers<float> A(B, F, forward);
    const std::size_t nx = static_cast<std::size_t>(B.x) * W.x;
    const std::size_t ny = static_cast<std::size_t>(B.y) * F.y;
    const std::size_t nz = static_cast<std::size_t>(B.z) * F.z;
    const int row = (W.x + 7) / 8 * 8;
    // The PSD's rows start on a vector boundary after the factors.
    const std::size_t at = (nx + ny + nz + 7) / 8 * 8;
    const std::size_t np = weighted ? static_cast<std::size_t>(row) * W.y * W.z : 0;
    float* buffer = A.valid() ? static_cast<float*>(cMalloc((at + np) * sizeof(float))) : nullptr;
    if (buffer == nullptr) {
        cFree(P);
        return;
    }
    const double count = static_cast<double>(product(F));
    const double squaredCount = count * count;
    for (int c = 0; c < B.x; ++c)
        for (int fx = 0; fx < W.x; ++fx)
            buffer[static_cast<std::size_t>(c) * W.x + fx] =
                static_cast<float>(A.x[static_cast<std::size_t>(c) * F.x + fx] *
                                   (px[fx] / squaredCount) * foldWeight(fx, F.x, W.x));
    for (int c = 0; c < B.y; ++c)
        for (int fy = 0; fy < F.y; ++fy) {
            const std::size_t i = static_cast<std::size_t>(c) * F.y + fy;
            buffer[nx + i] = static_cast<float>(A.y[i] * py[fy]);
        }
    for (int c = 0; c < B.z; ++c)
        for (int fz = 0; fz < F.z; ++fz) {
            const std::size_t i = static_cast<std::size_t>(c) * F.z + fz;
            buffer[nx + ny + i] = static_cast<float>(A.z[i] * pz[fz]);
        }
    if (weighted) {
        float* weights = buffer + at;
        for (int fz = 0; fz < W.z; ++fz)
            for (int fy = 0; fy < W.y; ++fy) {
                float* dst = weights + static_cast<std::size_t>(row) * (fy + W.y * fz);
                for (int fx = 0; fx < row; ++fx)
                    dst[fx] = fx < W.x ? static_cast<float>(psdAt(P, F, fx, fy, fz)) : 0.0f;
            }
        out.psd = weights;
        out.row = row;
    }
    cFree(P);
    out.x = buffer;
    out.y = buffer + nx;
    out.z = buffer + nx + ny;
    out.B = B;
    out.W = W;
}

bool factoredFits(const FactoredNoise& s, const LayerWeights& w) {
    if (!s.valid() || w.sx != 1 || w.nx != s.W.x || w.ny != s.W.y || w.nz != s.W.z) return false;
    const long long row = (w.nx + 7LL) / 8 * 8;
    return row <= 64 && static_cast<long long>(w.sy) >= row &&
           (s.psd == nullptr || static_cast<long long>(w.nz) * w.ny * row <= kFactoredScratch) &&
           static_cast<long long>(s.B.z) * w.ny * row <= kFactoredScratch &&
           static_cast<long long>(s.B.z) * s.B.y * w.nx <= kFactoredScratch;
}

void factoredLayerSums(const FactoredNoise& s, const LayerWeights& w, float* out) {
    FactoredMap m;
    m.kx = s.x;
    m.ky = s.y;
    m.kz = s.z;
    m.Bx = s.B.x;
    m.By = s.B.y;
    m.Bz = s.B.z;
    m.nx = w.nx;
    m.ny = w.ny;
    m.nz = w.nz;
    m.sy = w.sy;
    m.sz = w.sz;
    m.psd = s.psd;
    const std::size_t n = product(s.B);
    for (int v = 0; v < w.count; ++v) {
        m.map = w.data + w.vectorStride * static_cast<std::size_t>(v);
        m.out = out + n * static_cast<std::size_t>(v);
        factoredMapSums(m);
    }
}

} // namespace vexa
