#pragma once

#include "core/complex.h"

namespace vexa {

// The 64-point transform (table-driven radix-2), also reached through fftComplex(64).
void FFTComplex64(const Complex* in, Complex* out);

} // namespace vexa
