#pragma once

#include "core/complex.h"

namespace vexa {

// Unscaled forward DFT for n in {4, 8, 16, 32, 64}; other n throw
// std::invalid_argument. in and out must not overlap. fftReal reads only the
// real parts of in.
void fftReal(int n, const Complex* in, Complex* out);
void fftComplex(int n, const Complex* in, Complex* out);

} // namespace vexa
