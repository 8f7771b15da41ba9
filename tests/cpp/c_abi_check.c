/* Compiled as C99 against the public header and linked with the library. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "vexa.h"

#define EXPECT(cond)                                                                               \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "c_abi_check: failed: %s (line %d)\n", #cond, __LINE__);              \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

int main(void) {
    /* The layout as a C compiler sees it, field by field. */
    EXPECT(sizeof(VexaParameters) == 168);
    EXPECT(offsetof(VexaParameters, blockSize) == 0);
    EXPECT(offsetof(VexaParameters, psdResampleSize) == 12);
    EXPECT(offsetof(VexaParameters, psdSymmetry) == 24);
    EXPECT(offsetof(VexaParameters, maxGroupSize) == 28);
    EXPECT(offsetof(VexaParameters, varianceGroupSize) == 32);
    EXPECT(offsetof(VexaParameters, hardThreshold) == 36);
    EXPECT(offsetof(VexaParameters, wienerFactor) == 40);
    EXPECT(offsetof(VexaParameters, matchNoiseFactor) == 44);
    EXPECT(offsetof(VexaParameters, searchRadius) == 48);
    EXPECT(offsetof(VexaParameters, imageSize) == 60);
    EXPECT(offsetof(VexaParameters, psdSize) == 72);
    EXPECT(offsetof(VexaParameters, step) == 84);
    EXPECT(offsetof(VexaParameters, minGroupSize) == 96);
    EXPECT(offsetof(VexaParameters, matchThreshold) == 100);
    EXPECT(offsetof(VexaParameters, splitBlockExtraction) == 104);
    EXPECT(offsetof(VexaParameters, gridShiftCount) == 108);
    EXPECT(offsetof(VexaParameters, gridShift.x) == 120);
    EXPECT(offsetof(VexaParameters, gridShift.y) == 128);
    EXPECT(offsetof(VexaParameters, gridShift.z) == 136);
    EXPECT(offsetof(VexaParameters, deterministic) == 144);
    EXPECT(offsetof(VexaParameters, sharpen) == 148);
    EXPECT(offsetof(VexaParameters, sharpenVariances) == 149);
    EXPECT(offsetof(VexaParameters, sharpenAlpha) == 152);
    EXPECT(offsetof(VexaParameters, sharpenAlphaFirstSlice) == 156);
    EXPECT(offsetof(VexaParameters, numThreads) == 160);
    EXPECT(sizeof(VexaTransforms) == 72);
    EXPECT(offsetof(VexaTransforms, forward.z) == 16);
    EXPECT(offsetof(VexaTransforms, inverse.x) == 24);
    EXPECT(offsetof(VexaTransforms, groupForward) == 48);
    EXPECT(offsetof(VexaTransforms, groupInverse) == 56);
    EXPECT(offsetof(VexaTransforms, window) == 64);
    EXPECT(sizeof(BlockMatchStorage) == 40);
    EXPECT(offsetof(BlockMatchStorage, matchCounts) == 8);
    EXPECT(offsetof(BlockMatchStorage, matchPositions) == 16);
    EXPECT(offsetof(BlockMatchStorage, matchRelativePositions) == 24);
    EXPECT(offsetof(BlockMatchStorage, referenceCount) == 32);
    EXPECT(offsetof(BlockMatchStorage, reuseMatches) == 36);
    EXPECT(vexaVersion() != NULL && strlen(vexaVersion()) > 0);
    EXPECT(vexaDefaultThreadCount() >= 1);

    /* A step of 0 is rejected before any work; output stays untouched. */
    {
        float noisy[64], psd[64], out[64];
        VexaParameters p;
        VexaTransforms t;
        int i, status;
        memset(&p, 0, sizeof p);
        memset(&t, 0, sizeof t);
        for (i = 0; i < 64; ++i) {
            noisy[i] = (float)i;
            psd[i] = 1.0f;
            out[i] = 7.0f;
        }
        p.blockSize.x = 8; p.blockSize.y = 8; p.blockSize.z = 1;
        p.imageSize.x = 8; p.imageSize.y = 8; p.imageSize.z = 1;
        p.psdSize = p.imageSize;
        p.psdResampleSize = p.imageSize;
        p.maxGroupSize = 2;
        p.step.x = 1; p.step.y = 0; p.step.z = 1;
        p.numThreads = 1;
        status = vexaInterfaceHT(noisy, psd, p, t, out, NULL);
        EXPECT(status == VEXA_ERROR_INVALID_ARGUMENT);
        for (i = 0; i < 64; ++i) EXPECT(out[i] == 7.0f);
        EXPECT(strlen(vexaLastMessage()) > 0);

        /* The Wiener stage without its pilot is rejected the same way. */
        p.step.y = 1;
        status = vexaInterfaceWie(noisy, psd, p, t, NULL, out, NULL);
        EXPECT(status == VEXA_ERROR_INVALID_ARGUMENT);
        for (i = 0; i < 64; ++i) EXPECT(out[i] == 7.0f);
        EXPECT(strstr(vexaLastMessage(), "basicEstimate") != NULL);
    }
    printf("c_abi_check: all checks passed\n");
    return 0;
}
