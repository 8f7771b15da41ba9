#pragma once

#include <cstddef>

namespace vexa {

// out[psi + n*w] = sum over layer < layers of table[psi + n*layer] *
// weights[layer + layers*w] for w < count (weights null: the plain sum, one
// vector). Every sum runs in float in increasing layer order, one rounding
// per product and per sum, as the plain loop.
void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out);

namespace kernels_base {
void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out);
} // namespace kernels_base
namespace kernels_avx2 {
void layerSums(const float* table, const float* weights, int count, int n, std::size_t layers,
               float* out);
} // namespace kernels_avx2

} // namespace vexa
