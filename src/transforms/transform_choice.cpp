#include "transforms/transform_choice.h"

#include "transforms/transform_tables.h"

namespace vexa {

TransformSource chooseTransformSource(const Transforms<float>& transforms,
                                      const Parameters& params) {
    if (transforms.forward.x != nullptr) return TransformSource::Caller;
    const Vec3<int>& b = params.blockSize;
    if (b.x == 4) {
        if (b.y == 4 && b.z == 4) return TransformSource::Default3D;
    } else if (b.x == 8) {
        if (b.y == 8 && b.z == 1) return TransformSource::Default2D;
    }
    throw MissingTransformException();
}

void fillDefaultGroupTables(Transforms<float>& transforms) {
    if (transforms.groupForward == nullptr) {
        transforms.groupForward = HAAR_NL_FWD;
        transforms.groupInverse = HAAR_NL_INV;
    }
}

TransformsMeta<float> prepareTransforms(StageName stage, TransformSource source,
                                        const Transforms<float>& transforms,
                                        const Parameters& params) {
    switch (source) {
    case TransformSource::Default3D: {
        // Every block axis uses the plain product; the group tables are the
        // built-in Haar ones, so groups of 16 and 32 take the fast Haar.
        TransformsMeta<float> meta = plainTransformMeta(DEFAULT_TRANSFORMS_3D);
        identifyGroupKinds(DEFAULT_TRANSFORMS_3D, params, meta);
        return meta;
    }
    case TransformSource::Default2D:
        return getTransformMeta(stage == HT ? DEFAULT_TRANSFORMS_2D : DEFAULT_TRANSFORMS_2D_WIE,
                                params);
    case TransformSource::Caller:
    default:
        return getTransformMeta(transforms, params);
    }
}

} // namespace vexa
