#pragma once

#include <string>

#include "interface/parameters.h"
#include "interface/transforms.h"

namespace vexa {

// The steps an entry point takes before it runs the stage, on its own copies
// of the caller's structures. Separate functions so that each can be tested.

// Step 2: an axis whose gridShiftCount is 1 or less gets count 1 and the
// table ZERO. Returns "" or the message for a null table with count > 1.
std::string repairShiftTables(Parameters& params);

enum class TransformSource { Caller, Default3D, Default2D };

// Step 3, the choice: the caller's set when forward.x is set, else the
// built-in set of blockSize (4,4,4) or (8,8,1). Throws
// MissingTransformException otherwise; allocates nothing.
TransformSource chooseTransformSource(const Transforms<float>& transforms,
                                      const Parameters& params);

// A caller's set without groupForward gets both built-in Haar group tables.
void fillDefaultGroupTables(Transforms<float>& transforms);

// Returns "" or the message naming the first matrix of a caller's set that
// the stage would dereference while it is null.
std::string checkCallerTransforms(const Transforms<float>& transforms, const Parameters& params);

// Step 3, the preparation: the set the stage receives, kind tables included
// (owned by the receiver, see releaseGroupKinds).
TransformsMeta<float> prepareTransforms(StageName stage, TransformSource source,
                                        const Transforms<float>& transforms,
                                        const Parameters& params);

} // namespace vexa
