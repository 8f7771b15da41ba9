"""Soak test: many consecutive calls of varied shapes in one process.

Runs CALLS denoising calls (default 200) on images and volumes of changing
shapes, dtypes, noise descriptions, stages and thread counts, including
calls that fail with an error and calls that keep matches, and reports the
resident memory and the thread count of the process as it goes. Memory must
stay flat after the warm-up calls and no thread may outlive its call.

    VEXA_LIBRARY=build/tests/libvexa_linux.so PYTHONPATH=python python tools/soak.py [CALLS]

glibc gives each new thread one of up to 8 x cores heaps ("arenas"); memory
freed into an arena stays partly mapped, so the resident size creeps up for a
few hundred calls while the pool's fresh threads land on arenas not yet used.
MALLOC_ARENA_MAX=1 (one heap) shows whether growth is that or a leak: with it
the resident size must stay flat.

Exits with status 1 when memory grows by more than --max-growth-mib between
the end of the warm-up and the end, or when threads are left behind.
"""

from __future__ import annotations

import argparse
import gc
import os
import threading
import time

import numpy as np

import vexa


def status_mib(field: str = "VmRSS") -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def rss_mib() -> float:
    return status_mib("VmRSS")


def os_threads() -> int:
    return len(os.listdir("/proc/self/task"))


def one_call(i: int, rng: np.random.Generator):
    """Call number i: a shape, a noise description and options that change with i."""
    ndim = 2 if i % 3 else 3
    if ndim == 2:
        shape = tuple(int(v) for v in rng.integers(16, 96, size=2))
    else:
        shape = tuple(int(v) for v in rng.integers(12, 28, size=3))
    dtype = [np.float32, np.float64, np.uint8, np.int16][i % 4]
    clean = np.zeros(shape)
    clean[tuple(slice(s // 4, 3 * s // 4) for s in shape)] = 1.0
    noisy = clean + 0.15 * rng.standard_normal(shape)
    if dtype in (np.uint8, np.int16):
        noisy = np.clip(noisy * 100 + 50, 0, 255)
    noisy = noisy.astype(dtype)
    sigma = 0.15 if dtype not in (np.uint8, np.int16) else 15.0
    kwargs = dict(profile=["fast", "default"][i % 2 if ndim == 2 else 0], progress=False)
    kwargs["num_threads"] = [1, 2, 0][i % 3]
    kind = i % 5
    if kind == 0:
        return vexa.denoise(noisy, sigma, **kwargs)
    if kind == 1:
        grid = (8,) * ndim
        return vexa.denoise(noisy, psd=vexa.psd_white(sigma, grid), **kwargs)
    if kind == 2:
        store = vexa.MatchStore()  # filled by the first call, read back by the second
        kwargs["profile"] = "default"  # its hard and wiener stages share one search window
        vexa.denoise(noisy, sigma, matches=store, **kwargs)
        return vexa.denoise(noisy, sigma, matches=store, **kwargs)
    if kind == 3:
        try:  # a call refused by the host or the library: nothing may stay behind
            vexa.denoise(noisy, sigma, profile="fast", num_threads=kwargs["num_threads"],
                         memory_limit=1024, progress=False)
        except (ValueError, MemoryError):
            pass
        return None
    pair = np.stack([noisy, noisy[::-1].copy()], axis=-1)
    return vexa.denoise(pair, [sigma, sigma], channel_axis=-1, **kwargs)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("calls", type=int, nargs="?", default=200)
    parser.add_argument("--warmup", type=int, default=20, help="calls before the baseline")
    parser.add_argument("--max-growth-mib", type=float, default=16.0)
    args = parser.parse_args()

    rng = np.random.default_rng(2024)
    py_threads = threading.active_count()
    start_threads = os_threads()
    samples = []
    t0 = time.perf_counter()
    for i in range(args.calls):
        out = one_call(i, rng)
        if out is not None and not np.all(np.isfinite(out)):
            print(f"call {i}: non-finite estimate")
            return 1
        del out
        gc.collect()
        if i + 1 == args.warmup or (i + 1) % 20 == 0 or i + 1 == args.calls:
            samples.append((i + 1, rss_mib(), os_threads()))
            print(f"after {i + 1:4d} calls: RSS {samples[-1][1]:8.1f} MiB "
                  f"(anonymous {status_mib('RssAnon'):6.1f}), threads {samples[-1][2]} ({time.perf_counter() - t0:6.1f} s)", flush=True)
    base = next(s for s in samples if s[0] >= args.warmup)
    end = samples[-1]
    growth = end[1] - base[1]
    peak = max(s[1] for s in samples)
    leaked = end[2] - start_threads
    print(f"soak: {args.calls} calls in {time.perf_counter() - t0:.1f} s; RSS after warm-up "
          f"{base[1]:.1f} MiB, at the end {end[1]:.1f} MiB (growth {growth:+.1f} MiB, peak "
          f"sampled {peak:.1f} MiB); threads before {start_threads}, after {end[2]} "
          f"(Python threads {py_threads} -> {threading.active_count()})")
    ok = growth <= args.max_growth_mib and leaked <= 0 and threading.active_count() <= py_threads
    print("soak:", "PASSED" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
