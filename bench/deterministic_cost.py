"""Cost of deterministic=True: time and memory of both stages, free and fixed aggregation order.

    VEXA_LIBRARY=build/tests/libvexa_linux.so PYTHONPATH=python python bench/deterministic_cost.py \
        [--size 64] [--threads 2] [--repeats 3] [--profile default]

Runs the two settings alternately on one noisy volume and prints the best
time of each, the extra memory of the fixed order (two float32 volumes per
thread) and whether repeated results were bitwise equal.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vexa


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--profile", default="default")
    args = parser.parse_args()
    n = args.size
    rng = np.random.default_rng(1)
    clean = np.zeros((n, n, n), np.float32)
    clean[n // 4 : 3 * n // 4, n // 4 : 3 * n // 4, n // 3 : 2 * n // 3] = 1.0
    noisy = clean + 0.2 * rng.standard_normal(clean.shape).astype(np.float32)
    times = {False: [], True: []}
    results = {False: [], True: []}
    for _ in range(args.repeats):
        for det in (False, True):
            t0 = time.perf_counter()
            out = vexa.denoise(noisy, 0.2, profile=args.profile, num_threads=args.threads,
                               deterministic=det, progress=False)
            times[det].append(time.perf_counter() - t0)
            results[det].append(out)
    for det in (False, True):
        spread = max(float(np.abs(r - results[det][0]).max()) for r in results[det])
        print(f"deterministic={det!s:5}: best {min(times[det]):.2f} s of {args.repeats} "
              f"(all {', '.join(f'{t:.2f}' for t in times[det])}); largest difference between "
              f"repeated results {spread:.3g}")
    cost = min(times[True]) / min(times[False]) - 1.0
    extra = 8 * args.threads * n**3 / 2**20
    print(f"{n}^3, {args.threads} threads, profile {args.profile}: deterministic=True costs "
          f"{100 * cost:+.1f} % time and {extra:.0f} MiB more memory "
          f"({8 * args.threads} bytes per voxel)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
