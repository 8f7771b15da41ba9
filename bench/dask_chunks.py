"""Chunked (vexa.dask) against whole-volume denoising: halo overhead, agreement and time.

    python bench/dask_chunks.py --table-only          # the halo overhead table, no run
    python bench/dask_chunks.py --size 512 --chunks 256

Prints the extra voxels each stage processes per chunk size for the default
3-D profile, then denoises one phantom with noise both ways (Dask's local
threaded scheduler, one chunk at a time, the library's threads per chunk) and
prints both times and the agreement.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np
import vexa
import vexa.dask as vd
from vexa.demo import phantom


def overhead(edge, halo, ndim=3):
    """Mean extra voxels per stage for an interior chunk of ``edge`` (over every grid phase)."""
    period = math.lcm(*(per_axis[0].step for per_axis in halo.stages))
    left, right = halo.depth(0)
    sums = [0.0] * len(halo.stages)
    for shift in range(period):
        start = left + shift
        boxes = halo.boxes(start, start + edge, start + edge + left + right + 1, 0)
        for k, (b0, b1) in enumerate(boxes):
            sums[k] += ((b1 - b0) / edge) ** ndim - 1.0
    return [s / period for s in sums]


def table(sizes):
    shape = (4096, 4096, 4096)
    h = vd.halo(shape)
    alone = [vd.halo(shape, stage=s) for s in ("hard", "wiener")]
    print(
        f"default 3-D profile: halo {h.depths()[0]} voxels (left, right), minimum chunk "
        f"{h.minimum_chunk()[0]}; stages run apart: {alone[0].depths()[0]} and "
        f"{alone[1].depths()[0]}"
    )
    print("| chunk edge | hard stage | Wiener stage | mean | hard apart | Wiener apart |")
    print("|---:|---:|---:|---:|---:|---:|")
    for edge in sizes:
        hard, wiener = overhead(edge, h)
        (hard_alone,), (wiener_alone,) = overhead(edge, alone[0]), overhead(edge, alone[1])
        print(
            f"| {edge} | +{100 * hard:.0f} % | +{100 * wiener:.0f} % | "
            f"+{100 * (hard + wiener) / 2:.0f} % | +{100 * hard_alone:.0f} % | "
            f"+{100 * wiener_alone:.0f} % |"
        )


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=512)
    ap.add_argument("--chunks", type=int, default=256)
    ap.add_argument("--threads", type=int, default=0, help="library threads (0: every core)")
    ap.add_argument("--sigma", type=float, default=0.1)
    ap.add_argument("--table-only", action="store_true")
    args = ap.parse_args()
    table((64, 96, 128, 192, 256, 384, 512))
    if args.table_only:
        return
    import dask
    import dask.array as da

    rng = np.random.default_rng(0)
    clean = phantom(args.size)
    noisy = (clean + args.sigma * rng.standard_normal(clean.shape, dtype=np.float32)).astype(
        np.float32
    )
    threads = args.threads or None
    print(
        f"\n{args.size}^3 float32, sigma {args.sigma}, default profile, library threads "
        f"{args.threads or 'all'}"
    )
    c0, t0 = time.process_time(), time.perf_counter()
    whole = vexa.denoise(noisy, args.sigma, num_threads=args.threads, progress=False)
    c1, t1 = time.process_time(), time.perf_counter()
    print(f"whole volume  {t1 - t0:8.1f} s wall, {c1 - c0:8.1f} s CPU (all threads)", flush=True)
    lazy = vd.denoise(da.from_array(noisy, chunks=args.chunks), args.sigma, num_threads=threads)
    with dask.config.set(scheduler="threads", num_workers=1):
        c2, t2 = time.process_time(), time.perf_counter()
        chunked = lazy.compute()
        c3, t3 = time.process_time(), time.perf_counter()
    print(
        f"chunks of {args.chunks} ({lazy.npartitions} chunks) {t3 - t2:8.1f} s wall "
        f"({(t3 - t2) / (t1 - t0):.2f} x), {c3 - c2:8.1f} s CPU ({(c3 - c2) / (c1 - c0):.2f} x)"
    )
    diff = chunked.astype(np.float64) - whole
    rel = np.sqrt(np.mean(diff**2)) / np.sqrt(np.mean(whole.astype(np.float64) ** 2))
    print(f"agreement: relative RMS {rel:.2e}, max abs {np.abs(diff).max():.2e}")


if __name__ == "__main__":
    main()
