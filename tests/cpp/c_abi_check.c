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
    EXPECT(sizeof(VexaParameters) == 168);
    EXPECT(sizeof(VexaTransforms) == 72);
    EXPECT(sizeof(BlockMatchStorage) == 40);
    EXPECT(offsetof(VexaParameters, gridShift) == 120);
    EXPECT(offsetof(VexaParameters, numThreads) == 160);
    EXPECT(offsetof(VexaTransforms, window) == 64);
    EXPECT(offsetof(BlockMatchStorage, referenceCount) == 32);
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
    }
    printf("c_abi_check: all checks passed\n");
    return 0;
}
