#pragma once

#include "core/vec3.h"

namespace vexa {

// One member of a group: where its transformed coefficients are, how far it
// is from the reference, and where it lies in the volume and in the group.
template <class T>
struct BlockDistance {
    const T* block = nullptr;
    float distance = 0.0f;
    Vec3<int> position{0, 0, 0};
    Vec3<int> relativePosition{0, 0, 0};

    bool operator<(const BlockDistance& o) const { return distance < o.distance; }
};

} // namespace vexa
