#pragma once

namespace vexa {

// Which build of the hot kernels runs: the baseline x86-64 one, or the one
// compiled for AVX2 and FMA. Chosen once from the CPU; tests force either.
enum class KernelPath { Baseline = 0, Avx2 = 1 };

// The path in use: Avx2 when the CPU has AVX2 and FMA (and nothing forced
// another one), else Baseline.
KernelPath kernelPath();

// Whether this CPU can run the Avx2 path.
bool cpuHasAvx2();

// Forces a path (Avx2 only when the CPU has it; returns the path now in use).
// For tests and benchmarks; not thread-safe against running stages.
KernelPath forceKernelPath(KernelPath path);

} // namespace vexa
