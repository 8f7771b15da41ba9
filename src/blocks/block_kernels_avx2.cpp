// AVX2 + FMA build of the fixed-size block products (compiled with -mavx2 -mfma
// -ffp-contract=off: no multiply-add is fused, so results equal the baseline's).
#define VEXA_KERNEL_NS kernels_avx2
#include "blocks/block_kernels_impl.h"
