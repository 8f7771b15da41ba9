#pragma once

#include "core/parameters.h"
#include "transforms/transform_meta.h"

namespace vexa {

// Where the transform set of a call comes from.
enum class TransformSource { Caller, Default3D, Default2D };

// The caller's set when forward.x is set, else the built-in set of blockSize
// (4,4,4) or (8,8,1). Throws MissingTransformException otherwise; allocates
// nothing.
TransformSource chooseTransformSource(const Transforms<float>& transforms,
                                      const Parameters& params);

// A caller's set without groupForward gets both built-in Haar group tables.
void fillDefaultGroupTables(Transforms<float>& transforms);

// The set the stage receives, kind tables included (owned by the receiver,
// see releaseGroupKinds). A caller's set must have passed the entry checks.
TransformsMeta<float> prepareTransforms(StageName stage, TransformSource source,
                                        const Transforms<float>& transforms,
                                        const Parameters& params);

} // namespace vexa
