"""A large volume end to end with the automatic memory plan: time and peak memory.

Denoises a synthetic 512 x 512 x 256 float32 volume (256 MiB; the shape can
be changed) with the default profile and the memory plan vexa chooses from
the memory available, then prints the plan, the time of each stage, the
peak resident memory of the process and the PSNR before and after.

    VEXA_LIBRARY=build/tests/libvexa_linux.so PYTHONPATH=python python tools/large_volume.py \
        [--shape 256 512 512] [--profile default] [--threads 0]

The shape is in array order (z, y, x).
"""

from __future__ import annotations

import argparse
import resource
import time

import numpy as np

import vexa


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def available_mib() -> float:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def phantom(shape, rng):
    """Smooth background, a few boxes and a slab, values in [0, 1], float32."""
    z, y, x = (np.linspace(0.0, 1.0, n, dtype=np.float32) for n in shape)
    vol = 0.3 + 0.2 * z[:, None, None] + 0.1 * np.sin(6.0 * y)[None, :, None] * x[None, None, :]
    vol = np.broadcast_to(vol, shape).astype(np.float32)
    for _ in range(12):
        lo = [int(rng.integers(0, n - n // 4)) for n in shape]
        size = [int(rng.integers(n // 16, n // 4)) for n in shape]
        vol[tuple(slice(a, a + s) for a, s in zip(lo, size))] = float(rng.uniform(0.0, 1.0))
    return vol


def psnr(clean, estimate) -> float:
    mse = float(np.mean((clean.astype(np.float64) - estimate) ** 2))
    return 10.0 * np.log10(1.0 / mse)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", type=int, nargs=3, default=[256, 512, 512])
    parser.add_argument("--profile", default="default")
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--sigma", type=float, default=0.1)
    args = parser.parse_args()
    shape = tuple(args.shape)

    rng = np.random.default_rng(7)
    clean = phantom(shape, rng)
    noisy = clean + np.float32(args.sigma) * rng.standard_normal(shape, dtype=np.float32)
    input_mib = noisy.nbytes / 2**20
    print(f"volume {shape} float32: {input_mib:.0f} MiB; memory available "
          f"{available_mib() / 1024:.1f} GiB; peak before denoising {peak_mib():.0f} MiB")
    for plan in vexa.plan_memory(shape, args.profile, num_threads=args.threads or None):
        print(f"  plan {plan}")

    times = {}
    t0 = time.perf_counter()
    basic = vexa.denoise(noisy, args.sigma, profile=args.profile, stage="hard",
                         num_threads=args.threads, progress=False)
    times["hard"] = time.perf_counter() - t0
    peak_hard = peak_mib()
    t0 = time.perf_counter()
    final = vexa.denoise(noisy, args.sigma, profile=args.profile, stage="wiener",
                         basic_estimate=basic, num_threads=args.threads, progress=False)
    times["wiener"] = time.perf_counter() - t0
    print(f"hard stage {times['hard']:.1f} s, wiener stage {times['wiener']:.1f} s, "
          f"{np.prod(shape) / 1e6 / sum(times.values()):.3f} Mvoxel/s")
    print(f"peak resident memory: {peak_hard:.0f} MiB after the hard stage, {peak_mib():.0f} MiB "
          f"in all ({peak_mib() / input_mib:.1f} x the input)")
    print(f"PSNR noisy {psnr(clean, noisy):.2f} dB, basic {psnr(clean, basic):.2f} dB, "
          f"final {psnr(clean, final):.2f} dB")
    ok = bool(np.all(np.isfinite(final)))
    print("large volume:", "PASSED" if ok else "FAILED (non-finite estimate)")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
