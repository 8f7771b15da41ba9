#pragma once

#include "core/parameters.h"
#include "core/vec3.h"
#include "transforms/transform_kinds.h"

namespace vexa {

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
