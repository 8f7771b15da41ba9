#!/usr/bin/env python3
"""Single-scale against multiscale vexa (``VEXAProfile.multiscale``), same data, same noise.

    python bench/multiscale.py                       # crop: sigma 0.10 cases, white 0.05/0.20
    python bench/multiscale.py --datasets camera astronaut
    python bench/multiscale.py --datasets ch2 --cases gauss1 line5 white0.10

Prints one row per case: PSNR and wall seconds (CPU seconds of the process
in brackets, steadier on a shared machine) of the default profile with
``multiscale=False`` and with ``multiscale=True``, the gain, and what the
automatic choice (``multiscale=None``) picks for that noise. vexa is told
the true noise (the PSD on the profile's grid, sigma for white noise), as
in bench/compare.py.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import vexa_runner as vr  # noqa: E402

CROP_CASES = ["white0.10", "gauss1", "line5", "ct", "white0.05", "white0.20"]
RESULTS = bl.RESULTS / "multiscale.jsonl"
PATHS = ("single", "multi")


def run_case(clean, dataset, case, multiscale):
    import vexa

    noisy = clean + bl.make_noise(clean.shape, case, bl.seed_for(dataset, case))
    prof = vexa.VEXAProfile(multiscale=multiscale)
    c0, t0 = time.process_time(), time.perf_counter()
    out = vr.run(noisy, case, prof, progress=False)
    return bl.psnr(clean, out), time.perf_counter() - t0, time.process_time() - c0


def main(argv=None):
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--datasets", nargs="*", default=["ch2crop"])
    ap.add_argument("--cases", nargs="*", default=CROP_CASES)
    ap.add_argument("--only", choices=["single", "multi"], help="run one path only")
    args = ap.parse_args(argv)
    import vexa

    cases = {c.name: c for c in bl.noise_cases()}
    unknown = [c for c in args.cases if c not in cases]
    if unknown:
        ap.error(f"unknown cases {unknown}; choose from {sorted(cases)}")
    print(bl.machine_line())
    header = "dataset   case       auto | single dB   s (cpu)     | multi dB    s (cpu)     | gain"
    print(header)
    for dataset in args.datasets:
        clean = bl.load_dataset(dataset)
        for name in args.cases:
            case = cases[name]
            prof = vexa.VEXAProfile()
            given = vr.noise_argument(clean, case, prof)
            flat = None if np.isscalar(given) else vexa.psd_flatness(given)
            auto = prof.resolve(clean.ndim, flat, clean.shape).multiscale
            skipped = (float("nan"),) * 3
            single = skipped if args.only == "multi" else run_case(clean, dataset, case, False)
            multi = skipped if args.only == "single" else run_case(clean, dataset, case, True)
            print(
                f"{dataset:9s} {name:10s} {'on ' if auto else 'off'}  | {single[0]:6.2f} "
                f"{single[1]:7.1f} ({single[2]:6.1f}) | {multi[0]:6.2f} {multi[1]:7.1f} "
                f"({multi[2]:6.1f}) | {multi[0] - single[0]:+.2f}",
                flush=True,
            )
            record = dict(dataset=dataset, case=name, auto=bool(auto), machine=bl.machine_line())
            for path, figures in zip(PATHS, (single, multi)):
                if not np.isnan(figures[0]):
                    record.update({f"{path}_psnr": figures[0], f"{path}_seconds": figures[1],
                                   f"{path}_cpu": figures[2]})
            bl.append_record(RESULTS, record)
    bl.update_readme("multiscale", readme_table(bl.load_records(RESULTS)))


def readme_table(records) -> str:
    """The latest figures of every (dataset, case), a path's figures kept from the run that
    last measured it."""
    latest = {}
    for r in records:
        latest.setdefault((r["dataset"], r["case"]), {}).update(r)
    rows = []
    for (dataset, case), r in latest.items():
        row = [dataset, case, "on" if r["auto"] else "off"]
        for path in PATHS:
            if f"{path}_psnr" in r:
                cpu = r.get(path + "_cpu")
                seconds = f"{r[path + '_seconds']:.1f} ({'-' if cpu is None else f'{cpu:.1f}'})"
                row += [f"{r[path + '_psnr']:.2f}", seconds]
            else:
                row += ["", ""]
        both = all(f"{p}_psnr" in r for p in PATHS)
        row.append(f"{r['multi_psnr'] - r['single_psnr']:+.2f}" if both else "")
        rows.append(row)
    header = ["data", "noise", "auto", "single dB", "s (CPU s)", "multiscale dB", "s (CPU s)",
              "gain"]
    return (
        "Single-scale against multiscale (`python bench/multiscale.py`; default profile, true "
        "noise PSD; `auto` is what `multiscale=None` picks). Wall seconds on a shared "
        "machine, CPU seconds of the process in brackets. Whole-volume single-scale rows "
        "without CPU seconds are bench/compare.py's runs (bench/results/full.jsonl).\n\n"
        + bl.markdown_table(header, rows)
    )


if __name__ == "__main__":
    main()
