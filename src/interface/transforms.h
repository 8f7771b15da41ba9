#pragma once

#include <exception>

#include "interface/parameters.h"

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

// A transform set plus the built-in kind of every matrix. The two group kind
// tables (maxGroupSize + 1 entries, or null) come from cMalloc and are owned
// by the stage that receives the set, which frees them with
// releaseGroupKinds (cFree); copies share them. Null tables mean the plain
// matrix product for every group length.
template <class T>
struct TransformsMeta {
    Vec3<const T*> forward;
    Vec3<const T*> inverse;
    const T* const* groupForward;
    const T* const* groupInverse;
    const T* window;
    Vec3<TransformsMetas::StandardTransform> forwardKind;
    TransformsMetas::StandardTransform* groupForwardKind;
    Vec3<TransformsMetas::StandardTransform> inverseKind;
    TransformsMetas::StandardTransform* groupInverseKind;
};

// Identifies every matrix of the set (tolerance 0.001 per element) and
// allocates the two group kind tables; reads blockSize and maxGroupSize.
template <class T>
TransformsMeta<T> getTransformMeta(const Transforms<T>& transforms, const Parameters& params);

// Frees the two group kind tables (cFree) and sets both pointers to null.
template <class T>
void releaseGroupKinds(TransformsMeta<T>& meta);

// Thrown by the entry points when no transform set fits the block size.
class MissingTransformException : public std::exception {
  public:
    const char* what() const noexcept override;
};

// Built-in tables (row-major, row j = weights of output coefficient j). The
// Haar tables are references to arrays built at compile time; they read and
// decay exactly like the plain arrays.
extern const float DCT_4_FWD[16];
extern const float DCT_4_INV[16];
extern const float DCT_5_FWD[25];
extern const float DCT_5_INV[25];
extern const float DCT_8_FWD[64];
extern const float DCT_8_INV[64];
extern const float HAAR_2_FWD[4];
extern const float HAAR_2_INV[4];
extern const float (&HAAR_4_FWD)[16];
extern const float (&HAAR_4_INV)[16];
extern const float (&HAAR_8_FWD)[64];
extern const float (&HAAR_8_INV)[64];
extern const float (&HAAR_16_FWD)[256];
extern const float (&HAAR_16_INV)[256];
extern const float (&HAAR_32_FWD)[1024];
extern const float (&HAAR_32_INV)[1024];
extern const float (&HAAR_64_FWD)[4096];
extern const float (&HAAR_64_INV)[4096];
extern const float (&BIOR_4_FWD)[16];
extern const float (&BIOR_4_INV)[16];
extern const float BIOR_8_FWD[64];
extern const float BIOR_8_INV[64];
extern const float KAISER_8x8[64];
extern const float KAISER_4x4x4[64];
extern const float ONE[1];
extern const int ZERO[4];
extern const float SIZE_2_TRANSFORM[4];
extern const Vec3<TransformsMetas::StandardTransform> ARB_TRANSFORMS;

// Indexed by StandardTransform value; null where no built-in matrix exists.
extern const float* const standardTransformsList[32];

// Group tables with 65 entries; entries 2, 4, ..., 64 hold the Haar matrices.
extern const float* const (&HAAR_NL_FWD)[65];
extern const float* const (&HAAR_NL_INV)[65];

extern const Vec3<const float*> DEFAULT_FWD_3D;
extern const Vec3<const float*> DEFAULT_INV_3D;
extern const Vec3<const float*> BIOR_FWD_2D;
extern const Vec3<const float*> BIOR_INV_2D;
extern const Vec3<const float*> DEFAULT_FWD_2D;
extern const Vec3<const float*> DEFAULT_INV_2D;

extern const Transforms<float> DEFAULT_TRANSFORMS_3D;
extern const Transforms<float> DEFAULT_TRANSFORMS_2D;
extern const Transforms<float> DEFAULT_TRANSFORMS_2D_WIE;

} // namespace vexa
