#include <cmath>
#include <cstddef>

#include "core/allocator.h"
#include "transforms/transform_meta.h"
#include "transforms/transform_tables.h"

namespace vexa {

using namespace TransformsMetas;

namespace {

constexpr float kMatchTolerance = 0.001f;

// A NaN difference is not a difference: only |a - b| > tolerance rejects.
bool equalsTable(const float* m, const float* table, int count) {
    if (m == nullptr || table == nullptr) return false;
    for (int i = 0; i < count; ++i)
        if (std::fabs(m[i] - table[i]) > kMatchTolerance) return false;
    return true;
}

StandardTransform getStandardTransform4(const float* m) {
    for (int k = DCT4; k <= HAAR4; ++k)
        if (equalsTable(m, standardTransformsList[k], 16)) return static_cast<StandardTransform>(k);
    return ARBITRARY;
}

StandardTransform getStandardTransform8(const float* m) {
    if (equalsTable(m, DCT_8_FWD, 64)) return DCT8;
    if (equalsTable(m, BIOR_8_FWD, 64)) return BIOR8;
    if (equalsTable(m, HAAR_8_FWD, 64)) return HAAR8;
    return ARBITRARY;
}

StandardTransform blockAxisKind(const float* m, int n) {
    switch (n) {
    case 4:
        return getStandardTransform4(m);
    case 5:
        return equalsTable(m, DCT_5_FWD, 25) ? DCT5 : ARBITRARY;
    case 8:
        return getStandardTransform8(m);
    default:
        return ARBITRARY;
    }
}

StandardTransform groupKind(const float* m, int level) {
    const int s = 2 << level;
    if (s == 4) {
        const StandardTransform k = getStandardTransform4(m);
        if (k != ARBITRARY) return k;
    } else if (s == 8) {
        const StandardTransform k = getStandardTransform8(m);
        if (k != ARBITRARY) return k;
    }
    const int haar = NL_HAAR2 + level;
    return equalsTable(m, standardTransformsList[haar], s * s)
               ? static_cast<StandardTransform>(haar)
               : ARBITRARY;
}

} // namespace

template <class T>
void releaseGroupKinds(TransformsMeta<T>& meta) {
    cFree(meta.groupForwardKind);
    cFree(meta.groupInverseKind);
    meta.groupForwardKind = nullptr;
    meta.groupInverseKind = nullptr;
}

template <class T>
TransformsMeta<T> plainTransformMeta(const Transforms<T>& transforms) {
    TransformsMeta<T> meta;
    meta.forward = transforms.forward;
    meta.inverse = transforms.inverse;
    meta.groupForward = transforms.groupForward;
    meta.groupInverse = transforms.groupInverse;
    meta.window = transforms.window;
    meta.forwardKind = ARB_TRANSFORMS;
    meta.inverseKind = {ARBITRARY_INV, ARBITRARY_INV, ARBITRARY_INV};
    meta.groupForwardKind = nullptr;
    meta.groupInverseKind = nullptr;
    return meta;
}

template <class T>
TransformsMeta<T> getTransformMeta(const Transforms<T>& transforms, const Parameters& params) {
    TransformsMeta<T> meta = plainTransformMeta(transforms);

    const T* const axes[3] = {transforms.forward.x, transforms.forward.y, transforms.forward.z};
    const int sizes[3] = {params.blockSize.x, params.blockSize.y, params.blockSize.z};
    StandardTransform* fwdKinds[3] = {&meta.forwardKind.x, &meta.forwardKind.y,
                                      &meta.forwardKind.z};
    StandardTransform* invKinds[3] = {&meta.inverseKind.x, &meta.inverseKind.y,
                                      &meta.inverseKind.z};
    for (int a = 0; a < 3; ++a) {
        *fwdKinds[a] = blockAxisKind(axes[a], sizes[a]);
        *invKinds[a] = inverseOf(*fwdKinds[a]);
    }

    identifyGroupKinds(transforms, params, meta);
    return meta;
}

template <class T>
void identifyGroupKinds(const Transforms<T>& transforms, const Parameters& params,
                        TransformsMeta<T>& meta) {
    // A negative group size leaves both tables null: every length then uses
    // the plain product, and the stage rejects the size on its own.
    const int n = params.maxGroupSize;
    if (n < 0) return;
    const std::size_t bytes = (static_cast<std::size_t>(n) + 1) * sizeof(StandardTransform);
    meta.groupForwardKind = static_cast<StandardTransform*>(cMalloc(bytes));
    meta.groupInverseKind = static_cast<StandardTransform*>(cMalloc(bytes));
    if (meta.groupForwardKind == nullptr || meta.groupInverseKind == nullptr) {
        // Null tables are a valid description (plain products), so a failed
        // allocation degrades the speed of the stage, not its result.
        releaseGroupKinds(meta);
        return;
    }
    for (int i = 0; i <= n; ++i) {
        meta.groupForwardKind[i] = ARBITRARY;
        meta.groupInverseKind[i] = ARBITRARY_INV;
    }

    const int levels = n >= 1 ? static_cast<int>(std::log2(static_cast<double>(n)) + 0.001) : 0;
    const int identified = levels < 5 ? levels : 5;
    if (transforms.groupForward == nullptr) return;
    for (int l = 0; l < identified; ++l) {
        const int s = 2 << l;
        const StandardTransform k = groupKind(transforms.groupForward[s], l);
        meta.groupForwardKind[s] = k;
        meta.groupInverseKind[s] = inverseOf(k);
    }
}

template TransformsMeta<float> plainTransformMeta<float>(const Transforms<float>&);
template TransformsMeta<float> getTransformMeta<float>(const Transforms<float>&, const Parameters&);
template void identifyGroupKinds<float>(const Transforms<float>&, const Parameters&,
                                        TransformsMeta<float>&);
template void releaseGroupKinds<float>(TransformsMeta<float>&);

const char* MissingTransformException::what() const noexcept {
    return "No transform was passed, and no internal transform could be found to replace it!";
}

} // namespace vexa
