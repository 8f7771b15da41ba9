/*
 * The public header under Microsoft's compiler rules, compiled by clang-cl
 * for x86_64-pc-windows-msvc as C (/TC) and as C++ (/TP), as a user of the
 * DLL (dllimport), as the library itself (VEXA_BUILDING_LIBRARY) and as a
 * static link (VEXA_STATIC). Nothing runs: every check is at compile time.
 */
#include <stddef.h>

#include "vexa.h"

#define VEXA_COMPILE_CHECK(name, cond) typedef char name[(cond) ? 1 : -1]
#ifdef __cplusplus
#define VEXA_ALIGNOF alignof
#else
#define VEXA_ALIGNOF _Alignof
#endif

VEXA_COMPILE_CHECK(parameters_size, sizeof(VexaParameters) == 168);
VEXA_COMPILE_CHECK(parameters_align, VEXA_ALIGNOF(VexaParameters) == 8);
VEXA_COMPILE_CHECK(parameters_split, offsetof(VexaParameters, splitBlockExtraction) == 104);
VEXA_COMPILE_CHECK(parameters_shift, offsetof(VexaParameters, gridShift) == 120);
VEXA_COMPILE_CHECK(parameters_sharpen, offsetof(VexaParameters, sharpen) == 148);
VEXA_COMPILE_CHECK(parameters_threads, offsetof(VexaParameters, numThreads) == 160);
VEXA_COMPILE_CHECK(transforms_size, sizeof(VexaTransforms) == 72);
VEXA_COMPILE_CHECK(transforms_window, offsetof(VexaTransforms, window) == 64);
VEXA_COMPILE_CHECK(storage_size, sizeof(BlockMatchStorage) == 40);
VEXA_COMPILE_CHECK(storage_reuse, offsetof(BlockMatchStorage, reuseMatches) == 36);
/* long is 32 bits under this ABI: the size limit of the block collections. */
VEXA_COMPILE_CHECK(long_is_32_bits, sizeof(long) == 4);

/* The entry points keep their declared types (and so their plain C names). */
typedef int (*StageHT)(const float*, const float*, VexaParameters, VexaTransforms, float*,
                       BlockMatchStorage*);
typedef int (*StageWie)(const float*, const float*, VexaParameters, VexaTransforms, const float*,
                        float*, BlockMatchStorage*);

int vexaHeaderCheck(StageHT* ht, StageWie* wie) {
    *ht = &vexaInterfaceHT;
    *wie = &vexaInterfaceWie;
    return VEXA_ERROR_THREADS;
}
