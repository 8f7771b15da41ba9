// AVX2 build of the aggregation kernels (compiled with -mavx2 -mfma
// -ffp-contract=off: eight quotients per instruction, the same roundings).
#define VEXA_KERNEL_NS kernels_avx2
#include "filtering/aggregation_kernels_impl.h"
