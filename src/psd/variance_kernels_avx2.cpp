// AVX2 + FMA build of the variance kernels (-mavx2 -mfma -ffp-contract=off:
// nothing is fused, so results equal the baseline's bitwise).
#define VEXA_KERNEL_NS kernels_avx2
#include "psd/factored_kernels_impl.h"
#include "psd/variance_kernels_impl.h"
