#pragma once

namespace vexa {

// cos(2 pi t / 32) and -sin(2 pi t / 32) for t = 0 .. 15. A rotation by
// 2 pi k / span (span <= 32) is entry t = k * 32 / span: the angle is the
// same double either way, since the scale is a power of two.
inline constexpr double COS_32[16] = {
    1.0,
    0.9807852804032304,
    0.9238795325112867,
    0.8314696123025452,
    0.7071067811865476,
    0.5555702330196023,
    0.38268343236508984,
    0.19509032201612833,
    0.0,
    -0.1950903220161282,
    -0.3826834323650897,
    -0.555570233019602,
    -0.7071067811865475,
    -0.8314696123025453,
    -0.9238795325112867,
    -0.9807852804032304,
};
inline constexpr double MINUS_SIN_32[16] = {
    0.0,
    -0.19509032201612825,
    -0.3826834323650898,
    -0.5555702330196022,
    -0.7071067811865475,
    -0.8314696123025452,
    -0.9238795325112867,
    -0.9807852804032304,
    -1.0,
    -0.9807852804032304,
    -0.9238795325112867,
    -0.8314696123025455,
    -0.7071067811865476,
    -0.5555702330196022,
    -0.3826834323650899,
    -0.1950903220161286,
};

// Bit-reversed orders: the radix-2 networks read input point ORDER[k] into slot k.
inline constexpr int BIT_REVERSED_4[4] = {0, 2, 1, 3};
inline constexpr int BIT_REVERSED_8[8] = {0, 4, 2, 6, 1, 5, 3, 7};
inline constexpr int BIT_REVERSED_16[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
inline constexpr int BIT_REVERSED_32[32] = {0,  16, 8,  24, 4,  20, 12, 28, 2,  18, 10,
                                            26, 6,  22, 14, 30, 1,  17, 9,  25, 5,  21,
                                            13, 29, 3,  19, 11, 27, 7,  23, 15, 31};

} // namespace vexa
