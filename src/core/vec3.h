#pragma once

namespace vexa {

// Three components x, y, z. Sizes, positions, steps and radii are Vec3<int>.
template <class T>
struct Vec3 {
    T x;
    T y;
    T z;

    T volume() const { return x * y * z; }
};

// Component a of v: 0 is x, 1 is y, 2 is z.
template <class T>
T component(const Vec3<T>& v, int a) {
    return a == 0 ? v.x : (a == 1 ? v.y : v.z);
}

// Writable component a of v.
template <class T>
T& componentRef(Vec3<T>& v, int a) {
    return a == 0 ? v.x : (a == 1 ? v.y : v.z);
}

// Name of axis a ("x", "y" or "z"), for messages.
inline const char* axisName(int a) {
    return a == 0 ? "x" : (a == 1 ? "y" : "z");
}

inline Vec3<int> operator+(const Vec3<int>& a, const Vec3<int>& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3<int> operator-(const Vec3<int>& a, const Vec3<int>& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline bool operator==(const Vec3<int>& a, const Vec3<int>& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
inline bool operator!=(const Vec3<int>& a, const Vec3<int>& b) {
    return !(a == b);
}

// The ordering operators are not lexicographic: >= needs every component,
// < is its negation (any component), <= needs any component.
inline bool operator>=(const Vec3<int>& a, const Vec3<int>& b) {
    return a.x >= b.x && a.y >= b.y && a.z >= b.z;
}
inline bool operator>=(const Vec3<int>& a, int s) {
    return a.x >= s && a.y >= s && a.z >= s;
}
inline bool operator<(const Vec3<int>& a, const Vec3<int>& b) {
    return !(a >= b);
}
inline bool operator<=(const Vec3<int>& a, const Vec3<int>& b) {
    return a.x <= b.x || a.y <= b.y || a.z <= b.z;
}

} // namespace vexa
