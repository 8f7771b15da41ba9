#include "blocks/group_transforms.h"

#include "blocks/block_transforms.h"
#include "core/check.h"

namespace vexa {

const float GROUP_IDENTITY_1[1] = {1.0f};

namespace {

using TransformsMetas::StandardTransform;

// Group length a fast Haar tag stands for (forward 10..13, inverse 26..29), else 0.
int haarLength(StandardTransform tag, bool inverse) {
    const int base = inverse ? TransformsMetas::NL_HAAR4_INV : TransformsMetas::NL_HAAR4;
    const int t = static_cast<int>(tag) - base;
    return (t >= 0 && t <= 3) ? (4 << t) : 0;
}

// Row j of the product, accumulated layer by layer so the loop over the c
// coefficient positions vectorises; each element still sums k = 0 upward.
template <class Input>
void matrixProduct(const Input& layer, int n, const float* matrix, float* out, int c) {
    for (int j = 0; j < n; ++j) {
        float* o = out + static_cast<long>(c) * j;
        const float* row = matrix + static_cast<long>(j) * n;
        const float* in0 = layer(0);
        const float m0 = row[0];
        for (int i = 0; i < c; ++i) o[i] = m0 * in0[i];
        for (int k = 1; k < n; ++k) {
            const float* ink = layer(k);
            const float mk = row[k];
            for (int i = 0; i < c; ++i) o[i] += mk * ink[i];
        }
    }
}

template <class Input>
void matrixProductReference(const Input& layer, int n, const float* matrix, float* out, int c) {
    for (int i = 0; i < c; ++i) {
        for (int j = 0; j < n; ++j) {
            float s = matrix[j * n] * layer(0)[i];
            for (int k = 1; k < n; ++k) s += matrix[j * n + k] * layer(k)[i];
            out[i + static_cast<long>(c) * j] = s;
        }
    }
}

void copyLayer(const float* in, float* out, int c) {
    for (int i = 0; i < c; ++i) out[i] = in[i];
}

} // namespace

template <class T>
void transformBlocksNL(const BlockDistance<T>* blocks, int n, const T* matrix,
                       StandardTransform tag, Cube4D<T>& out, const Vec3<int>& blockSize) {
    const int c = blockSize.x * blockSize.y * blockSize.z;
    if (n < 1) return;
    // A lone block with no 1x1 table is its own transform.
    if (n == 1 && !matrix) {
        copyLayer(blocks[0].block, out.data, c);
        return;
    }
    if (haarLength(tag, false) == n) {
        for (int i = 0; i < c; ++i) {
            IndexerBase<BlockDistance<T>*, true> in{blocks, i};
            IndexerBase<T*, true> o{out.data + i, c};
            forwardHaar_32_16_8_4_2_1(in, o, n);
        }
        return;
    }
    VEXA_CHECK(matrix != nullptr, "groupForward[stackSize] != nullptr");
    matrixProduct([blocks](int k) { return blocks[k].block; }, n, matrix, out.data, c);
}

template <class T>
void transformBlocksNL(const Cube4D<T>& in, int n, const T* matrix, StandardTransform tag,
                       Cube4D<T>& out, const Vec3<int>& blockSize) {
    const int c = blockSize.x * blockSize.y * blockSize.z;
    if (n < 1) return;
    VEXA_CHECK(in.data != out.data, "in.data != out.data");
    if (n == 1 && !matrix) {
        copyLayer(in.data, out.data, c);
        return;
    }
    if (haarLength(tag, true) == n) {
        for (int i = 0; i < c; ++i) {
            IndexerBase<const T*, true> src{in.data + i, c};
            IndexerBase<T*, true> o{out.data + i, c};
            invHaar_32_16_8_4_2_1(src, o, n);
        }
        return;
    }
    if (haarLength(tag, false) == n) {
        for (int i = 0; i < c; ++i) {
            IndexerBase<const T*, true> src{in.data + i, c};
            IndexerBase<T*, true> o{out.data + i, c};
            forwardHaar_32_16_8_4_2_1(src, o, n);
        }
        return;
    }
    VEXA_CHECK(matrix != nullptr, "groupInverse[stackSize] != nullptr");
    const T* base = in.data;
    matrixProduct([base, c](int k) { return base + static_cast<long>(c) * k; }, n, matrix, out.data,
                  c);
}

template void transformBlocksNL<float>(const BlockDistance<float>*, int, const float*,
                                       StandardTransform, Cube4D<float>&, const Vec3<int>&);
template void transformBlocksNL<float>(const Cube4D<float>&, int, const float*, StandardTransform,
                                       Cube4D<float>&, const Vec3<int>&);

void transformBlocksNLReference(const BlockDistance<float>* blocks, int n, const float* matrix,
                                Cube4D<float>& out, const Vec3<int>& blockSize) {
    const int c = blockSize.x * blockSize.y * blockSize.z;
    matrixProductReference([blocks](int k) { return blocks[k].block; }, n, matrix, out.data, c);
}

void transformBlocksNLReference(const Cube4D<float>& in, int n, const float* matrix,
                                Cube4D<float>& out, const Vec3<int>& blockSize) {
    const int c = blockSize.x * blockSize.y * blockSize.z;
    const float* base = in.data;
    matrixProductReference([base, c](int k) { return base + static_cast<long>(c) * k; }, n, matrix,
                           out.data, c);
}

} // namespace vexa
