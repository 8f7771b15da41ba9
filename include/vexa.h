/*
 * vexa: collaborative transform-domain denoising of volumes with stationary,
 * spatially correlated noise.
 *
 * Public C interface. The host allocates every buffer, fills the parameter
 * block byte for byte, zero-fills the output and calls the hard-thresholding
 * stage, then the Wiener stage with the first stage's result as pilot.
 *
 * All volumes are dense float arrays, x fastest, then y, then z:
 * sample (x, y, z) of a volume of size (X, Y, Z) lies at x + X*(y + Y*z).
 * The PSD uses the same order and the unscaled-DFT convention: white noise of
 * variance s^2 has the constant PSD s^2 * (number of PSD points).
 */
#ifndef VEXA_H
#define VEXA_H

#include <stddef.h>
#include <stdint.h>

/*
 * On Windows the entry points are exported from the DLL and imported by its
 * users. Define VEXA_STATIC when linking the library's objects directly into
 * a program (no DLL in between).
 */
#if defined(_WIN32)
#if defined(VEXA_BUILDING_LIBRARY)
#define VEXA_API __declspec(dllexport)
#elif defined(VEXA_STATIC)
#define VEXA_API
#else
#define VEXA_API __declspec(dllimport)
#endif
#else
#define VEXA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Three consecutive 32-bit signed integers x, y, z. */
typedef struct VexaVec3i {
    int32_t x, y, z;
} VexaVec3i;

/* One matrix per block axis. */
typedef struct VexaMatrices3 {
    const float* x;
    const float* y;
    const float* z;
} VexaMatrices3;

/* Three shift tables of the reference grid (x table, y table, z table). */
typedef struct VexaShiftTables {
    const int32_t* x;
    const int32_t* y;
    const int32_t* z;
} VexaShiftTables;

/*
 * The parameter block: 168 bytes, alignment 8, passed by value.
 * Flags are one byte each: 0 is false, any other value is true.
 */
typedef struct VexaParameters {
    VexaVec3i blockSize;            /*   0 block edge lengths */
    VexaVec3i psdResampleSize;      /*  12 frequency grid (each of 1, 4, 8, 16, 32, 64) */
    uint8_t psdSymmetry;            /*  24 fold the frequency grid along x */
    uint8_t _pad0[3];               /*  25 */
    int32_t maxGroupSize;           /*  28 largest group length */
    int32_t varianceGroupSize;      /*  32 group coefficients with exact variances */
    float hardThreshold;            /*  36 HT stage: squared threshold in noise std units */
    float wienerFactor;             /*  40 Wiener stage: factor on the noise variance */
    float matchNoiseFactor;         /*  44 HT stage: weight of the noise distance correction */
    VexaVec3i searchRadius;         /*  48 half-size of the search window */
    VexaVec3i imageSize;            /*  60 size of every volume */
    VexaVec3i psdSize;              /*  72 size of the PSD array */
    VexaVec3i step;                 /*  84 reference grid spacing, every component > 0 */
    int32_t minGroupSize;           /*  96 group floor, whatever the distances */
    float matchThreshold;           /* 100 largest distance beyond the floor */
    uint8_t splitBlockExtraction[3];/* 104 per axis: window the block buffers */
    uint8_t _pad1;                  /* 107 */
    VexaVec3i gridShiftCount;       /* 108 entries of each shift table */
    VexaShiftTables gridShift;      /* 120 shift tables (x at 120, y at 128, z at 136) */
    uint8_t deterministic;          /* 144 non-zero: a fixed aggregation order, so that results
                                           with several threads are bitwise reproducible */
    uint8_t _reserved[3];           /* 145 not read */
    uint8_t sharpen;                /* 148 HT stage: alpha-rooting */
    uint8_t sharpenVariances;       /* 149 HT stage: rescale variances when sharpening */
    uint8_t _pad2[2];               /* 150 */
    float sharpenAlpha;             /* 152 alpha beyond the first z frequency slice */
    float sharpenAlphaFirstSlice;   /* 156 alpha in the first z frequency slice */
    int32_t numThreads;             /* 160 < 1: hardware concurrency */
    uint8_t _pad3[4];               /* 164 */
} VexaParameters;

/*
 * The transform set: 72 bytes, nine pointers, passed by value. Matrices are
 * n*n floats, row-major, row j holding the weights of output coefficient j.
 * groupForward / groupInverse are tables indexed by the group length n
 * (entry n is an n x n matrix or null). window has blockSize.x*y*z weights.
 * Pass forward.x == NULL to use the built-in set for 4x4x4 or 8x8x1 blocks.
 */
typedef struct VexaTransforms {
    VexaMatrices3 forward;               /*  0 */
    VexaMatrices3 inverse;               /* 24 */
    const float* const* groupForward;    /* 48 */
    const float* const* groupInverse;    /* 56 */
    const float* window;                 /* 64 */
} VexaTransforms;

/*
 * Optional, host-owned store of block matches (40 bytes). Member i of
 * reference slot s lies at element (s*maxMatches + i)*3 of both position
 * arrays. The host sizes matchCounts for every reference slot and both
 * position arrays for 3*maxMatches ints per slot, with maxMatches at least
 * maxGroupSize.
 */
typedef struct BlockMatchStorage {
    int32_t maxMatches;              /*  0 */
    uint8_t _pad0[4];                /*  4 */
    int32_t* matchCounts;            /*  8 */
    int32_t* matchPositions;         /* 16 */
    int32_t* matchRelativePositions; /* 24 */
    int32_t referenceCount;          /* 32 written by the library */
    int32_t reuseMatches;            /* 36 non-zero: read the stored matches */
} BlockMatchStorage;

/* Status results of the stage entry points. */
enum VexaStatus {
    VEXA_OK = 0,                  /* the stage ran to its end */
    VEXA_ERROR_INVALID_ARGUMENT = 1, /* rejected before any work (a parameter out of range, a
                                        null buffer, shift table or matrix); output untouched */
    VEXA_ERROR_OUT_OF_MEMORY = 2, /* a buffer could not be obtained */
    VEXA_ERROR_INTERNAL = 3,      /* an internal consistency check failed */
    VEXA_ERROR_CANCELLED = 4,     /* vexaRequestCancel stopped the stage */
    VEXA_ERROR_THREADS = 5,       /* worker threads could not be started */
    VEXA_ERROR_BUSY = 6           /* another stage call is running in this process (the entry
                                     points are not re-entrant); rejected at once, output,
                                     storage and the running call untouched */
};

/*
 * Hard-thresholding stage. output must hold imageSize floats, zero-filled.
 * storage may be null. Returns a VexaStatus; on any non-zero status the
 * content of output is not an estimate. From C++ the only exception that can
 * leave this function is the library's MissingTransformException (forward.x
 * null and a blockSize other than (4,4,4) or (8,8,1)).
 *
 * One stage call runs at a time per process (the stage uses a process-wide
 * thread pool): a call made from another thread while one runs returns
 * VEXA_ERROR_BUSY at once, writes one line naming the conflict and touches
 * nothing; the running call goes on unaffected.
 */
VEXA_API int vexaInterfaceHT(const float* noisy, const float* psd, VexaParameters params,
                             VexaTransforms transforms, float* output,
                             BlockMatchStorage* storage);

/* Wiener stage, with the first stage's result as basicEstimate. */
VEXA_API int vexaInterfaceWie(const float* noisy, const float* psd, VexaParameters params,
                              VexaTransforms transforms, const float* basicEstimate,
                              float* output, BlockMatchStorage* storage);

/*
 * Progress of the running (or last) stage: reference positions done and the
 * total of the stage. Safe to call from any thread at any time.
 */
VEXA_API void vexaGetProgress(int64_t* done, int64_t* total);

/*
 * Asks the running stage to stop early; it releases everything and returns
 * VEXA_ERROR_CANCELLED. Safe to call from any thread; a request made while no
 * stage runs is dropped when the next stage starts.
 */
VEXA_API void vexaRequestCancel(void);

/*
 * The messages the last stage call wrote to the standard error stream, one
 * per line, or "" when there were none. Call it after the stage returned;
 * the pointer stays valid until the next stage call. On a thread whose last
 * call returned VEXA_ERROR_BUSY it is that call's one line; the running
 * call's messages are left as they are.
 */
VEXA_API const char* vexaLastMessage(void);

/* Library version, "major.minor.patch". */
VEXA_API const char* vexaVersion(void);

/* Thread count a stage uses when numThreads < 1. */
VEXA_API int vexaDefaultThreadCount(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VEXA_H */
