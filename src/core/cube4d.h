#pragma once

#include "core/check.h"

namespace vexa {

struct Vec4i {
    int x;
    int y;
    int z;
    int w;
};

// A 4-D array that does not own its data: block axes x, y, z and the group
// index w, x fastest. Element (x, y, z, w) at ((w*size.z + z)*size.y + y)*size.x + x.
template <class T>
struct Cube4D {
    Vec4i size{0, 0, 0, 0};
    T* data = nullptr;

    int index(const Vec4i& c) const { return ((c.w * size.z + c.z) * size.y + c.y) * size.x + c.x; }

    // Only the upper bounds are checked; callers never pass negative coordinates.
    void setCoeff(const Vec4i& coord, const T& value) {
        VEXA_CHECK(coord.x < size.x && coord.y < size.y && coord.z < size.z && coord.w < size.w,
                   "coord.x < size.x && coord.y < size.y && coord.z < size.z && coord.w < size.w");
        data[index(coord)] = value;
    }
};

} // namespace vexa
