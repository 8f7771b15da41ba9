// Body of the variance kernels, included once per instruction-set build with
// VEXA_KERNEL_NS naming the namespace (kernels_base, kernels_avx2).
#include "psd/variance_kernels.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "psd/fft_lanes.h"
#include "psd/float8.h"

namespace vexa {
namespace VEXA_KERNEL_NS {

namespace {

// `Width` consecutive coefficients of one weight vector (or the plain sum):
// the accumulators stay in registers while the layers stream past.
template <int Width>
inline void chunk(const float* table, const float* weights, std::size_t n, std::size_t layers,
                  float* out) {
    float acc[Width] = {};
    if (weights == nullptr) {
        for (std::size_t layer = 0; layer < layers; ++layer) {
            const float* row = table + n * layer;
            for (int k = 0; k < Width; ++k) acc[k] += row[k];
        }
    } else {
        for (std::size_t layer = 0; layer < layers; ++layer) {
            const float* row = table + n * layer;
            const float weight = weights[layer];
            for (int k = 0; k < Width; ++k) acc[k] += row[k] * weight;
        }
    }
    for (int k = 0; k < Width; ++k) out[k] = acc[k];
}

// Layers are taken in blocks whose weights are first gathered, vector by
// vector, into one short contiguous array; the sums carry over between blocks.
constexpr int LAYER_BLOCK = 256;
constexpr std::size_t PREFETCH_LAYERS = 8;

// `8*Groups` coefficients of `Vectors` weight vectors at once: one pass over
// the table rows of a block of layers for all of them, each accumulator adding
// its layers in order (from out, which holds 0 before the first block).
template <int Vectors, int Groups>
inline void stridedChunk(const float* table, std::size_t n, int layers, const float* weights,
                         float* out) {
    Float8 acc[Vectors][Groups];
    for (int v = 0; v < Vectors; ++v)
        for (int g = 0; g < Groups; ++g) acc[v][g] = load8(out + n * v + 8 * g);
    for (int layer = 0; layer < layers; ++layer) {
        const float* row = table + n * static_cast<std::size_t>(layer);
        // The table streams from the outer caches: ask for rows ahead.
        for (int g = 0; g < Groups; g += 2) prefetch(row + n * PREFETCH_LAYERS + 8 * g);
        Float8 values[Groups];
        for (int g = 0; g < Groups; ++g) values[g] = load8(row + 8 * g);
        for (int v = 0; v < Vectors; ++v) {
            const Float8 weight = broadcast8(weights[Vectors * layer + v]);
            for (int g = 0; g < Groups; ++g) acc[v][g] = add8(acc[v][g], mul8(values[g], weight));
        }
    }
    for (int v = 0; v < Vectors; ++v)
        for (int g = 0; g < Groups; ++g) store8(out + n * v + 8 * g, acc[v][g]);
}

// The same for one coefficient.
template <int Vectors>
inline void stridedSingle(const float* table, std::size_t n, int layers, const float* weights,
                          float* out) {
    float acc[Vectors];
    for (int v = 0; v < Vectors; ++v) acc[v] = out[n * v];
    for (int layer = 0; layer < layers; ++layer) {
        const float value = table[n * static_cast<std::size_t>(layer)];
        for (int v = 0; v < Vectors; ++v) acc[v] += value * weights[Vectors * layer + v];
    }
    for (int v = 0; v < Vectors; ++v) out[n * v] = acc[v];
}

template <int Vectors>
void stridedVectors(const float* table, int n, const LayerWeights& w, const float* const* base,
                    float* out) {
    // Groups of eight coefficients per chunk: as many accumulators as leave
    // registers for the row and the weight (16 ymm with AVX2; with SSE2 every
    // group takes two of the 16 xmm).
#if defined(__AVX2__)
    constexpr int Wide = Vectors <= 2 ? 4 : 2;
#else
    constexpr int Wide = Vectors <= 2 ? 2 : 1;
#endif
    const std::size_t sn = static_cast<std::size_t>(n);
    alignas(32) float block[LAYER_BLOCK * Vectors];
    int layer0 = 0, filled = 0;
    for (int v = 0; v < Vectors; ++v) std::fill_n(out + sn * v, n, 0.0f);
    const auto flush = [&]() {
        const float* rows = table + sn * static_cast<std::size_t>(layer0);
        int psi = 0;
        for (; psi + 8 * Wide <= n; psi += 8 * Wide)
            stridedChunk<Vectors, Wide>(rows + psi, sn, filled, block, out + psi);
        for (; psi + 8 <= n; psi += 8)
            stridedChunk<Vectors, 1>(rows + psi, sn, filled, block, out + psi);
        for (; psi < n; ++psi) stridedSingle<Vectors>(rows + psi, sn, filled, block, out + psi);
        layer0 += filled;
        filled = 0;
    };
    const float* from[Vectors];
    for (int v = 0; v < Vectors; ++v) from[v] = base[v];
    const std::size_t sx = w.sx, sy = w.sy, sz = w.sz;
    const int nz = w.nz;
    for (int fx = 0; fx < w.nx; ++fx) {
        for (int fy = 0; fy < w.ny; ++fy) {
            const std::size_t at =
                sx * static_cast<std::size_t>(fx) + sy * static_cast<std::size_t>(fy);
            for (int fz = 0; fz < nz; ++fz) {
                const std::size_t point = at + sz * static_cast<std::size_t>(fz);
                float* dst = block + Vectors * filled;
                for (int v = 0; v < Vectors; ++v) dst[v] = from[v][point];
                if (++filled == LAYER_BLOCK) flush();
            }
        }
    }
    if (filled > 0) flush();
}

[[noreturn]] void unsupportedLength(int n) {
    throw std::invalid_argument("fft length " + std::to_string(n) +
                                " is not supported; n must be one of 4, 8, 16, 32, 64");
}

std::size_t planeSize(const MapBatch& m) {
    return static_cast<std::size_t>(m.F.z) * m.F.y * m.Wp;
}

// Rows (y, z) without a member hold zeros from here on; so do the padding
// columns x >= Wx of occupied rows, written by the x pass.
void zeroEmptyRows(const MapBatch& m) {
    const std::size_t plane = planeSize(m);
    const int rowTotal = m.F.y * m.F.z;
    for (int b = 0; b < m.count; ++b) {
        float* re = m.planes + 2 * plane * b;
        for (int row = 0; row < rowTotal;) {
            if (m.rowMask[row]) {
                ++row;
                continue;
            }
            const int start = row;
            while (row < rowTotal && !m.rowMask[row]) ++row;
            const std::size_t at = static_cast<std::size_t>(start) * m.Wp;
            const std::size_t length = static_cast<std::size_t>(row - start) * m.Wp;
            std::fill_n(re + at, length, 0.0f);
            std::fill_n(re + plane + at, length, 0.0f);
        }
    }
}

// x pass: one real line per (occupied row, map), L lines at a time, built
// straight from the members (coinciding ones add up in member order, from 0).
template <int n, int L>
void xPass(const MapBatch& m) {
    const std::size_t plane = planeSize(m);
    const int lines = m.rowCount * m.count;
    for (int first = 0; first < lines; first += L) {
        LaneLines<n, L> v;
        for (int k = 0; k < n; ++k) {
            for (int l = 0; l < L; ++l) {
                v.re[k][l] = 0.0f;
                v.im[k][l] = 0.0f;
            }
        }
        const int lastRow = std::min(m.rowCount, (first + L + m.count - 1) / m.count);
        for (int r = first / m.count; r < lastRow; ++r) {
            const int lane0 = r * m.count - first;
            const int b0 = std::max(0, -lane0);
            const int b1 = std::min(m.count, L - lane0);
            for (int j = m.rowStart[r]; j < m.rowStart[r + 1]; ++j) {
                const int i = m.rowMembers[j];
                float* slot = v.re[lanePoint<n>(m.xOf[i])];
                for (int b = b0; b < b1; ++b)
                    slot[lane0 + b] += m.G[static_cast<std::size_t>(m.w0 + b) * m.N + i];
            }
        }
        transformLanes<n, L>(v);
        const int used = std::min(L, lines - first);
        for (int l = 0; l < used; ++l) {
            const int line = first + l;
            float* re = m.planes + 2 * plane * (line % m.count) +
                        static_cast<std::size_t>(m.rows[line / m.count]) * m.Wp;
            float* im = re + plane;
            for (int x = 0; x < m.Wx; ++x) {
                re[x] = v.re[x][l];
                im[x] = v.im[x][l];
            }
            for (int x = m.Wx; x < m.Wp; ++x) re[x] = im[x] = 0.0f;
        }
    }
}

// z pass: lines along z, L columns x at a time, for every y with a member.
template <int n, int L>
void zPass(const MapBatch& m) {
    const std::size_t plane = planeSize(m);
    const std::size_t stride = static_cast<std::size_t>(m.F.y) * m.Wp;
    for (int b = 0; b < m.count; ++b) {
        float* re = m.planes + 2 * plane * b;
        for (int y = 0; y < m.F.y; ++y) {
            if (!m.yOccupied[y]) continue;
            for (int x0 = 0; x0 < m.Wp; x0 += L) {
                const std::size_t at = static_cast<std::size_t>(y) * m.Wp + x0;
                fftLanesInPlace<n, L>(re + at, re + plane + at, stride);
            }
        }
    }
}

// y pass and power: lines along y, L columns at a time; im^2 + re^2 replaces re.
template <int n, int L>
void yPassPower(const MapBatch& m) {
    const std::size_t plane = planeSize(m);
    const std::size_t Wp = static_cast<std::size_t>(m.Wp);
    for (int b = 0; b < m.count; ++b) {
        float* re = m.planes + 2 * plane * b;
        const float* im = re + plane;
        for (int z = 0; z < m.F.z; ++z) {
            const std::size_t rowZ = static_cast<std::size_t>(z) * n;
            for (std::size_t x0 = 0; x0 < Wp; x0 += L) {
                LaneLines<n, L> v;
                for (int k = 0; k < n; ++k) {
                    const std::size_t at = (rowZ + lanePoint<n>(k)) * Wp + x0;
                    for (int l = 0; l < L; ++l) {
                        v.re[k][l] = re[at + l];
                        v.im[k][l] = im[at + l];
                    }
                }
                transformLanes<n, L>(v);
                for (int k = 0; k < n; ++k) {
                    float* dst = re + (rowZ + k) * Wp + x0;
                    for (int l = 0; l < L; ++l)
                        dst[l] = v.im[k][l] * v.im[k][l] + v.re[k][l] * v.re[k][l];
                }
            }
        }
    }
}

// Fy = 1: the power of every value.
void powerOnly(const MapBatch& m) {
    const std::size_t plane = planeSize(m);
    for (int b = 0; b < m.count; ++b) {
        float* re = m.planes + 2 * plane * b;
        const float* im = re + plane;
        for (std::size_t i = 0; i < plane; ++i) re[i] = im[i] * im[i] + re[i] * re[i];
    }
}

template <template <int, int> class Pass, int L>
void byLength(int n, const MapBatch& m) {
    switch (n) {
    case 4:
        return Pass<4, L>::run(m);
    case 8:
        return Pass<8, L>::run(m);
    case 16:
        return Pass<16, L>::run(m);
    case 32:
        return Pass<32, L>::run(m);
    case 64:
        return Pass<64, L>::run(m);
    default:
        unsupportedLength(n);
    }
}

template <int n, int L>
struct XPass {
    static void run(const MapBatch& m) { xPass<n, L>(m); }
};
template <int n, int L>
struct ZPass {
    static void run(const MapBatch& m) { zPass<n, L>(m); }
};
template <int n, int L>
struct YPass {
    static void run(const MapBatch& m) { yPassPower<n, L>(m); }
};

template <int L>
void transformPlanes(const MapBatch& m) {
    zeroEmptyRows(m);
    byLength<XPass, L>(m.F.x, m);
    if (m.F.z > 1) byLength<ZPass, L>(m.F.z, m);
    if (m.F.y > 1)
        byLength<YPass, L>(m.F.y, m);
    else
        powerOnly(m);
}

template <int L>
void fftLanesOf(int n, float* re, float* im, std::size_t stride) {
    switch (n) {
    case 4:
        return fftLanesInPlace<4, L>(re, im, stride);
    case 8:
        return fftLanesInPlace<8, L>(re, im, stride);
    case 16:
        return fftLanesInPlace<16, L>(re, im, stride);
    case 32:
        return fftLanesInPlace<32, L>(re, im, stride);
    case 64:
        return fftLanesInPlace<64, L>(re, im, stride);
    default:
        unsupportedLength(n);
    }
}

} // namespace

void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out) {
    const std::size_t sn = static_cast<std::size_t>(n);
    const int vectors = weights == nullptr ? 1 : count;
    for (int w = 0; w < vectors; ++w) {
        const float* wts = weights == nullptr ? nullptr : weights + layers * w;
        float* dst = out + sn * w;
        int psi = 0;
        for (; psi + 32 <= n; psi += 32) chunk<32>(table + psi, wts, sn, layers, dst + psi);
        for (; psi + 8 <= n; psi += 8) chunk<8>(table + psi, wts, sn, layers, dst + psi);
        for (; psi < n; ++psi) chunk<1>(table + psi, wts, sn, layers, dst + psi);
    }
}

void stridedLayerSums(const float* table, int n, const LayerWeights& weights, float* out) {
    for (int w0 = 0; w0 < weights.count; w0 += 4) {
        const int vectors = std::min(4, weights.count - w0);
        const float* base[4] = {};
        for (int v = 0; v < vectors; ++v)
            base[v] = weights.data + weights.vectorStride * static_cast<std::size_t>(w0 + v);
        float* dst = out + static_cast<std::size_t>(n) * w0;
        switch (vectors) {
        case 1:
            stridedVectors<1>(table, n, weights, base, dst);
            break;
        case 2:
            stridedVectors<2>(table, n, weights, base, dst);
            break;
        case 3:
            stridedVectors<3>(table, n, weights, base, dst);
            break;
        default:
            stridedVectors<4>(table, n, weights, base, dst);
            break;
        }
    }
}

void transformMapBatch(const MapBatch& batch) {
    if (batch.lanes == 4)
        transformPlanes<4>(batch);
    else
        transformPlanes<8>(batch);
}

void fftLanes(int n, int lanes, float* re, float* im, std::size_t stride) {
    if (lanes == 4) return fftLanesOf<4>(n, re, im, stride);
    if (lanes == 8) return fftLanesOf<8>(n, re, im, stride);
    throw std::invalid_argument("lanes = " + std::to_string(lanes) +
                                " is not supported; lanes must be 4 or 8");
}

} // namespace VEXA_KERNEL_NS
} // namespace vexa
