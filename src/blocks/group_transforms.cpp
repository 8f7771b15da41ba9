#include "blocks/group_transforms.h"

#include <cstddef>
#include <vector>

#include "blocks/block_transforms.h"
#include "blocks/group_kernels.h"
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

// Pointers to the n input layers; groups longer than the fixed room are
// rare (the host allows up to 64) and take a heap array.
class LayerPointers {
  public:
    template <class Layer>
    LayerPointers(int n, const Layer& layer) {
        float const** p = fixed_;
        if (n > kFixed) {
            heap_.resize(static_cast<std::size_t>(n));
            p = heap_.data();
        }
        for (int k = 0; k < n; ++k) p[k] = layer(k);
        ptr_ = p;
    }
    const float* const* get() const { return ptr_; }

  private:
    static constexpr int kFixed = 64;
    const float* fixed_[kFixed];
    std::vector<const float*> heap_;
    const float* const* ptr_ = nullptr;
};

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
    const LayerPointers layers(n, [blocks](int k) { return blocks[k].block; });
    if (haarLength(tag, false) == n) {
        haarForwardLayers(layers.get(), n, out.data, c);
        return;
    }
    VEXA_CHECK(matrix != nullptr, "groupForward[stackSize] != nullptr");
    matrixProductLayers(layers.get(), n, matrix, out.data, c);
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
    const T* base = in.data;
    const LayerPointers layers(n, [base, c](int k) { return base + static_cast<long>(c) * k; });
    if (haarLength(tag, true) == n) {
        haarInverseLayers(layers.get(), n, out.data, c);
        return;
    }
    if (haarLength(tag, false) == n) {
        haarForwardLayers(layers.get(), n, out.data, c);
        return;
    }
    VEXA_CHECK(matrix != nullptr, "groupInverse[stackSize] != nullptr");
    matrixProductLayers(layers.get(), n, matrix, out.data, c);
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
