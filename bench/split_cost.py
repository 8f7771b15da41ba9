#!/usr/bin/env python3
"""CPU seconds and peak memory of one build on a crop with a forced windowing.

    VEXA_LIBRARY=... PYTHONPATH=... python bench/split_cost.py SIZE CASE THREADS SPLIT

SPLIT is the profile's split_block_extraction in array order, e.g. 110 for
windowed z and y ("auto" for the host's plan). Prints one JSON line: CPU
seconds and wall seconds of both stages, the peak (VmHWM above the resident
size before each stage) and the PSNR. bench/speed.py compares the default
plans of two builds; this script isolates the cost of a block-buffer plan.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import speed  # noqa: E402


def main(argv):
    size, case, threads, split = argv[1], argv[2], int(argv[3]), argv[4]
    import vexa

    clean, noisy = speed.data(size, case)
    nc = speed.CASES[case]
    kernel = bl.noise_kernel(nc, noisy.ndim)
    noise = nc.sigma if kernel is None else vexa.psd_from_kernel(kernel, speed.PSD_GRID)
    prof = vexa.VEXAProfile.from_name("default")
    prof.num_threads = threads
    if split != "auto":
        prof.split_block_extraction = [c == "1" for c in split]

    def run(stage, **kw):
        return vexa.vexa(noisy, noise, prof, stage, progress=False, **kw)

    basic, t_hard, m_hard = bl.timed(run, "hard")
    cpu = bl.LAST_CPU_SECONDS[0]
    final, t_wie, m_wie = bl.timed(run, "wiener", basic_estimate=basic)
    cpu += bl.LAST_CPU_SECONDS[0]
    print(json.dumps(dict(size=size, case=case, threads=threads, split=split, cpu_s=cpu,
                          wall_s=t_hard + t_wie, peak_mib=max(m_hard, m_wie),
                          psnr=bl.psnr(clean, final))))


if __name__ == "__main__":
    main(sys.argv)
