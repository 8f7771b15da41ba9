#pragma once

namespace vexa {

namespace TransformsMetas {
// Names the built-in matrix a transform equals; value + 16 is its inverse.
enum StandardTransform : int {
    DCT4 = 0,
    BIOR4 = 1,
    HAAR4 = 2,
    DCT5 = 4,
    DCT8 = 5,
    BIOR8 = 6,
    HAAR8 = 7,
    NL_HAAR2 = 9,
    NL_HAAR4 = 10,
    NL_HAAR8 = 11,
    NL_HAAR16 = 12,
    NL_HAAR32 = 13,
    ARBITRARY = 15,
    DCT4_INV = 16,
    BIOR4_INV = 17,
    HAAR4_INV = 18,
    DCT5_INV = 20,
    DCT8_INV = 21,
    BIOR8_INV = 22,
    HAAR8_INV = 23,
    NL_HAAR2_INV = 25,
    NL_HAAR4_INV = 26,
    NL_HAAR8_INV = 27,
    NL_HAAR16_INV = 28,
    NL_HAAR32_INV = 29,
    ARBITRARY_INV = 31,
};

inline StandardTransform inverseOf(StandardTransform k) {
    return static_cast<StandardTransform>(static_cast<int>(k) + 16);
}
} // namespace TransformsMetas

} // namespace vexa
